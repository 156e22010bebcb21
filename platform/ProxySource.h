// Where the user's proxy setting comes from, as "[scheme=]host:port[;...]" text.
//
// Windows: WinHttpGetIEProxyConfigForCurrentUser's proxy-server string, converted to the ANSI
// code page (no per-host bypass; the browser's bypass list is not consulted).
// Linux: the conventional environment variables, read as curl reads them for an http or an
// https request (see ProxySource_posix.cpp for the exact rules).
//
// Thread safety: reads the environment or the registry afresh on every call; no state.
#pragma once

#include <string>

namespace platform {

class Env;

// False when a request to targetHost goes direct. tls: the request is an https one. env gives
// the environment variables (POSIX).
bool SystemProxyString(Env& env, const std::string& targetHost, bool tls, std::string* text);

}  // namespace platform
