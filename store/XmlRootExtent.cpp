#include "store/XmlRootExtent.h"

namespace {

constexpr size_t kNone = std::string_view::npos;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The position just after the first `close` at or after pos, or kNone.
size_t After(std::string_view text, size_t pos, std::string_view close) {
  size_t at = text.find(close, pos);
  return at == kNone ? kNone : at + close.size();
}

// The end of a declaration such as <!DOCTYPE ...>, whose internal subset may hold '>'.
size_t AfterDeclaration(std::string_view text, size_t pos) {
  int brackets = 0;
  for (size_t i = pos; i < text.size(); ++i) {
    if (text[i] == '[') ++brackets;
    if (text[i] == ']') --brackets;
    if (text[i] == '>' && brackets <= 0) return i + 1;
  }
  return kNone;
}

// The end of a start or empty-element tag beginning at pos ('<'); *empty tells which.
size_t AfterTag(std::string_view text, size_t pos, bool* empty) {
  char quote = 0;
  for (size_t i = pos + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      *empty = text[i - 1] == '/';
      return i + 1;
    }
  }
  return kNone;
}

// Skips markup that is neither an element nor text: comments, CDATA, processing instructions
// and declarations. Returns the position after it, pos itself when there is none there, or
// kNone when it never ends.
size_t AfterOtherMarkup(std::string_view text, size_t pos) {
  const std::string_view rest = text.substr(pos);
  if (rest.substr(0, 4) == "<!--") return After(text, pos + 4, "-->");
  if (rest.substr(0, 9) == "<![CDATA[") return After(text, pos + 9, "]]>");
  if (rest.substr(0, 2) == "<?") return After(text, pos + 2, "?>");
  if (rest.substr(0, 2) == "<!") return AfterDeclaration(text, pos + 2);
  return pos;
}

}  // namespace

size_t XmlRootExtent(std::string_view text) {
  size_t pos = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  // The prolog.
  for (;;) {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '<') return kNone;
    const size_t next = AfterOtherMarkup(text, pos);
    if (next == kNone) return kNone;
    if (next == pos) break;
    pos = next;
  }
  // The root element.
  int depth = 0;
  while (pos < text.size()) {
    if (text[pos] != '<') {
      pos = text.find('<', pos);
      if (pos == kNone) return kNone;
      continue;
    }
    size_t next = AfterOtherMarkup(text, pos);
    if (next == kNone) return kNone;
    if (next != pos) {
      pos = next;
      continue;
    }
    if (text.substr(pos, 2) == "</") {
      next = After(text, pos + 2, ">");
      if (next == kNone) return kNone;
      if (--depth <= 0) return next;
    } else {
      bool empty = false;
      next = AfterTag(text, pos, &empty);
      if (next == kNone) return kNone;
      if (!empty) {
        ++depth;
      } else if (depth == 0) {
        return next;
      }
    }
    pos = next;
  }
  return kNone;
}
