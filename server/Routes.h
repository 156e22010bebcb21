// The reference server's routes: which endpoint a request head names, the XML root of its
// answers, and the handler that serves it. One table; adding an endpoint is one entry and a
// handler (a Connection member in the file of its group).
//
//   endpoint   dispatch  <dispatch path>?cmd=upload|reupload (any cmd but delete)
//              delete    <dispatch path>?cmd=delete
//              co        /ups/co        fin  /ups/fin
//              up        /ups/up        (reads the body before a fault's answer)
//              discard   /discard       (no faults: the benchmarks' baseline)
//              page      /, /ferrant/...  (no faults: the browser demo, server/StaticPages.h)
//              other     anything else: an error answer
// The endpoint names are the keys of the statistics and of the faults (ReferenceServer.h).
//
// Thread safety: the table is constant.
#pragma once

#include <string>

#include "server/HttpRequest.h"
#include "server/ReferenceServer.h"

namespace refserver {

class Connection;

namespace endpoint {
inline constexpr const char* kDispatch = "dispatch";
inline constexpr const char* kDelete = "delete";
inline constexpr const char* kCheck = "co";
inline constexpr const char* kUpload = "up";
inline constexpr const char* kFinish = "fin";
inline constexpr const char* kDiscard = "discard";
inline constexpr const char* kPage = "page";
inline constexpr const char* kOther = "other";
}  // namespace endpoint

struct Route {
  const char* endpoint;
  const char* root;  // of its XML answers
  // True when the request head is this route's.
  bool (*matches)(const RequestHead& head, const ServerOptions& options);
  void (Connection::*serve)();
  // Faults of this route are answered by the handler (after the body), not before it.
  bool handlerAnswersFaults;
  // The route takes no faults at all.
  bool faultFree;
};

// The route of a request head; the "other" route when none matches.
const Route& FindRoute(const RequestHead& head, const ServerOptions& options);

}  // namespace refserver
