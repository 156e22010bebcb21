#include "protocol/XmlReply.h"

#include <tinyxml2.h>

#include <climits>
#include <cstring>

int64_t ParseLeadingInt64(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > (static_cast<uint64_t>(INT64_MAX) - 9) / 10) {
      value = static_cast<uint64_t>(INT64_MAX);  // saturate instead of overflowing
      break;
    }
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  int64_t v = static_cast<int64_t>(value);
  return negative ? -v : v;
}

int32_t ParseLeadingInt32(const char* text) {
  int64_t v = ParseLeadingInt64(text);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

XmlReply::XmlReply(const char* body, const char* rootName)
    : doc_(std::make_unique<tinyxml2::XMLDocument>(true, tinyxml2::COLLAPSE_WHITESPACE)) {
  if (body == nullptr || body[0] == '\0') return;
  if (doc_->Parse(body) != tinyxml2::XML_SUCCESS) return;
  root_ = doc_->FirstChildElement(rootName);
}

XmlReply::~XmlReply() = default;

const char* XmlReply::Text(const char* name) const {
  if (root_ == nullptr) return nullptr;
  const tinyxml2::XMLElement* e = root_->FirstChildElement(name);
  return e ? e->GetText() : nullptr;
}

bool XmlReply::TextIs(const char* name, const char* expected) const {
  const char* t = Text(name);
  return t != nullptr && std::strcmp(t, expected) == 0;
}

bool XmlReply::Int(const char* name, int32_t* value) const {
  const char* t = Text(name);
  if (t == nullptr) return false;
  *value = ParseLeadingInt32(t);
  return true;
}

bool XmlReply::Int64(const char* name, int64_t* value) const {
  const char* t = Text(name);
  if (t == nullptr) return false;
  *value = ParseLeadingInt64(t);
  return true;
}
