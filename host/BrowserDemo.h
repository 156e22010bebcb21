// `ferrant demo --browser [chromium|firefox]`: the upload demo page in a real browser.
//
// Starts two reference servers in this process on free loopback ports: one serves the demo page,
// the other the service (temporary store, task files in a temporary APPDATA), over HTTPS with a
// root made for this run, which the native host is told through FERRANT_CA_FILE (plain HTTP
// with plain). It opens the page, http://www.corvel.example:<port>/?dispatch=<service>, in
// the installed Chromium or Firefox with a temporary profile that has the built extension
// loaded and the native host registered (this very program). The browser, and so the host it
// starts, reach the service names through --host-resolver-rules or network.dns.localDomains
// and FERRANT_RESOLVE. The demo ends when the browser is closed or on Ctrl-C, and removes
// everything it made.
//
// Exit status: 0 when the browser ended, 1 when something could not be started (named on
// standard error), 130 after Ctrl-C.
#pragma once

#include <string>

namespace host {

// browser: "chromium", "firefox", or empty for the first one installed.
int RunBrowserDemo(const std::string& browser, bool plain);

}  // namespace host
