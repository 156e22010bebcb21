// Reading a server's XML reply: one TinyXML-2 document per call, white space condensed (a
// setting of this document only), the root found as the document's first child element of the
// expected name ("root" from the dispatch server, "ups" from the upload server), each value as
// the text of the root's first child element of its name.
//
// Only the document up to the end of its root element must parse (store/XmlRootExtent.h):
// text a server appends after it (PHP back ends add "Done." and notices) is ignored.
//
// A missing element, one without text, fails at the point where it is read; what was read
// before stays read. Numbers follow atoi (platform/Decimal.h).
//
// Thread safety: one object per call.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Decimal.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

class XmlReply {
 public:
  XmlReply(const char* body, const char* rootName);
  ~XmlReply();
  XmlReply(const XmlReply&) = delete;
  XmlReply& operator=(const XmlReply&) = delete;

  bool HasRoot() const { return root_ != nullptr; }
  // The text of the root's child name; null when missing or without text.
  const char* Text(const char* name) const;
  // Text(name) equals expected exactly.
  bool TextIs(const char* name, const char* expected) const;
  bool Int(const char* name, int32_t* value) const;
  bool Int64(const char* name, int64_t* value) const;

 private:
  std::unique_ptr<tinyxml2::XMLDocument> doc_;
  const tinyxml2::XMLElement* root_ = nullptr;
};
