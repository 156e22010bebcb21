#include "protocol/XmlReply.h"

#include <tinyxml2.h>

#include <cstring>
#include <string_view>

#include "store/XmlRootExtent.h"

XmlReply::XmlReply(const char* body, const char* rootName)
    : doc_(std::make_unique<tinyxml2::XMLDocument>(true, tinyxml2::COLLAPSE_WHITESPACE)) {
  if (body == nullptr || body[0] == '\0') return;
  // Only the document up to the root's end must parse; text a server appends after it is not
  // the reply's business.
  if (doc_->Parse(body, XmlParseLength(body)) != tinyxml2::XML_SUCCESS) return;
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
