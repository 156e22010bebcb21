// The pages the reference server serves beside its endpoints: the browser demo (its HTML, CSS
// and script) and the page library ferrant.js, embedded at build time from browser/demo and
// browser/page. A browser with the Ferrant extension opens them on the service domain, e.g.
// http://www.corvel.example:<port>/ (the same as /ferrant/).
//
// Thread safety: read-only data; FindStaticPage may be called from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace refserver {

struct EmbeddedFile {
  std::string_view name;  // the file's name, e.g. "demo.js"
  std::string_view body;
};
// In the generated source (server/EmbedPages.cmake).
extern const EmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;

struct StaticPage {
  std::string_view contentType;
  std::string_view body;
};

// The page for a request path ("/", "/ferrant/", "/ferrant/<name>"); null for any other path.
const StaticPage* FindStaticPage(std::string_view path);

}  // namespace refserver
