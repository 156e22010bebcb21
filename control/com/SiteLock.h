// Which page hosts the control. A control placed in a web page may only talk to the service's
// dispatch server when the page itself comes from the service domain; the core enforces that
// once it knows the page's host (CUpLoadObjCore::SetPageHost).
//
// PageUrlOfSite asks the client site for its document's address: the HTML document behind the
// site's container, else the display name of the container's moniker. Empty when the host is
// not a page (no document, no moniker).
//
// PageHostOfUrl gives the host that the check compares, lower-cased, without user information
// and port. An address without an authority ("file:///...", "about:blank", a bare path) gives a
// text that names no host ("<scheme>:"), so such a page never passes the check. Never empty for
// a non-empty address.
//
// Thread safety: the apartment's thread only (PageUrlOfSite); PageHostOfUrl has no state.
#pragma once

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <ocidl.h>

#include <string>

std::string PageUrlOfSite(IOleClientSite* site);
std::string PageHostOfUrl(const std::string& url);
