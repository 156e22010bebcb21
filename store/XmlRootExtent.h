// Where an XML document ends: the length of the text up to and including the end of its root
// element, so that a reader can parse only that and accept whatever follows. Servers append
// text after the document (PHP back ends add "Done." and notices) and a task file may carry
// stray bytes after its last line; the document itself must still parse whole.
//
// The scan knows just enough XML to find that end: a byte-order mark, white space, the
// declaration and processing instructions, comments and a DOCTYPE before the root; inside it,
// start tags (quoted attribute values may hold '>'), empty-element tags, end tags, comments,
// CDATA sections and processing instructions. It does not check names or nesting; the parser
// does that on the extent it is given.
//
// Thread safety: no state.
#pragma once

#include <cstddef>
#include <string_view>

// The extent of the root element's document, or std::string_view::npos when the text holds no
// complete root element (the caller then parses the whole text and reports its error).
size_t XmlRootExtent(std::string_view text);

// The length of text a reader parses: the root element's extent, or the whole text when it
// holds no complete root element.
inline size_t XmlParseLength(std::string_view text) {
  const size_t extent = XmlRootExtent(text);
  return extent == std::string_view::npos ? text.size() : extent;
}
