// Bounded text helpers for the fixed-width fields of the data model. Every copy into a char[N]
// field goes through these: nothing is ever written past the field, and the caller learns
// whether the whole text fitted.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace platform {

// Copies text into dst (capacity n, NUL included). Returns true when it fitted whole; otherwise
// dst holds the longest prefix that fits and the result is false. n must be > 0.
inline bool CopyText(char* dst, size_t n, std::string_view text) {
  size_t len = text.size() < n ? text.size() : n - 1;
  if (len) std::memcpy(dst, text.data(), len);
  dst[len] = '\0';
  return len == text.size();
}
template <size_t N>
inline bool CopyText(char (&dst)[N], std::string_view text) {
  return CopyText(dst, N, text);
}

// Appends text to the NUL-terminated text in dst. False (dst cut at its capacity) when the
// whole did not fit.
inline bool AppendText(char* dst, size_t n, std::string_view text) {
  size_t used = strnlen(dst, n);
  if (used >= n) return false;
  return CopyText(dst + used, n - used, text);
}
template <size_t N>
inline bool AppendText(char (&dst)[N], std::string_view text) {
  return AppendText(dst, N, text);
}

// snprintf into a fixed buffer; false when the output was cut or formatting failed.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
inline bool
FormatText(char* dst, size_t n, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(dst, n, fmt, ap);
  va_end(ap);
  return r >= 0 && static_cast<size_t>(r) < n;
}

// Length of the NUL-terminated text in a fixed field, never reading past it.
template <size_t N>
inline size_t FieldLength(const char (&field)[N]) {
  return strnlen(field, N);
}
template <size_t N>
inline std::string_view FieldView(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

}  // namespace platform
