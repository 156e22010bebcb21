#include "server/Routes.h"

#include "server/Connection.h"
#include "server/StaticPages.h"

namespace refserver {
namespace {

bool IsDispatchPath(const RequestHead& h, const ServerOptions& o) {
  return h.path == o.dispatchPath;
}

const Route kRoutes[] = {
    {endpoint::kDelete, "root",
     [](const RequestHead& h, const ServerOptions& o) {
       return IsDispatchPath(h, o) && QueryValue(h, "cmd") == "delete";
     },
     &Connection::ServeDelete, false, false},
    {endpoint::kDispatch, "root", IsDispatchPath, &Connection::ServeDispatch, false, false},
    {endpoint::kCheck, "ups",
     [](const RequestHead& h, const ServerOptions&) { return h.path == "/ups/co"; },
     &Connection::ServeCheck, false, false},
    {endpoint::kUpload, "ups",
     [](const RequestHead& h, const ServerOptions&) { return h.path == "/ups/up"; },
     &Connection::ServeUpload, true, false},
    {endpoint::kFinish, "ups",
     [](const RequestHead& h, const ServerOptions&) { return h.path == "/ups/fin"; },
     &Connection::ServeFinish, false, false},
    {endpoint::kDiscard, "ups",
     [](const RequestHead& h, const ServerOptions&) { return h.path == "/discard"; },
     &Connection::ServeDiscard, false, true},
    {endpoint::kPage, "error",
     [](const RequestHead& h, const ServerOptions&) { return FindStaticPage(h.path) != nullptr; },
     &Connection::ServePage, false, true},
};

const Route kOtherRoute = {endpoint::kOther,
                           "error",
                           [](const RequestHead&, const ServerOptions&) { return true; },
                           &Connection::ServeUnknown,
                           false,
                           true};

}  // namespace

const Route& FindRoute(const RequestHead& head, const ServerOptions& options) {
  for (const Route& r : kRoutes) {
    if (r.matches(head, options)) return r;
  }
  return kOtherRoute;
}

}  // namespace refserver
