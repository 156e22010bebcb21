#include "platform/Decimal.h"

#include <climits>

int64_t ParseLeadingInt64(std::string_view text) {
  size_t i = 0;
  auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (i < text.size() && space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The magnitude may reach INT64_MAX, or one more for a negative number.
  const uint64_t limit = static_cast<uint64_t>(INT64_MAX) + (negative ? 1u : 0u);
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(value);
  return value == limit ? INT64_MIN : -static_cast<int64_t>(value);
}

int32_t ParseLeadingInt32(std::string_view text) {
  const int64_t v = ParseLeadingInt64(text);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}
