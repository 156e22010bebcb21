// `ferrant native-host`: the control behind a browser extension, over native messaging.
//
// The browser starts the host once per page connection (one host process is one control) and
// passes its caller as arguments: Chromium "chrome-extension://<id>/" (on Windows followed by
// "--parent-window=<n>"), Firefox "<path of the host manifest> <extension id>". The host serves
// only the Ferrant extension (kChromiumExtensionId, kFirefoxExtensionId) and exits with
// kExitForeignCaller, reading nothing, for any other caller.
//
// Each message (host/NativeFraming.h) carries one JSON-RPC 2.0 request of `ferrant rpc`, answered
// by the same dispatcher (host/Rpc.h). The extension's background, never the page, sends first
// {"method":"Open","params":[<page origin>]}; the host then sets the control's page host to the
// origin's host, so that InitService is refused unless it ends with the service domain suffix.
// Until "Open" arrives the page host is one that never passes; "Open" is honoured only as the
// first message, later ones get an error.
//
// Changes: {"method":"WaitForChange","params":[seen, timeoutMs]} answers the control's change
// count (a new Status of a task, a run ended, a slot given back; progress figures within a state
// do not count) as soon as it is no longer seen, or when timeoutMs (at most kMaxChangeWaitMs)
// has passed; at once for a timeoutMs of 0. Meanwhile every other call is answered as usual. One
// wait is pending at a time: a new one answers the one it replaces at once. A page that waits
// still polls GetTaskInfo after each answer, which starts a queued task as before. The COM
// interface has no such method: it is the bridge's alone.
//
// Life: the end of the input means the page is gone: the control is shut down as when its
// window is destroyed (running tasks stop, task files stay) and the host exits 0. A frame of
// length 0 gets a parse error and the channel goes on; a length above 1 MiB, the input ending
// inside a frame or an unwritable output end the host the same way with exit status 1.
// Standard output carries frames only; diagnostics go to standard error with FERRANT_DEBUG.
//
// Thread safety: one thread runs the loop and drives the control; the input is read ahead and
// the change count followed on threads of their own (host/NativeInbox.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "control/UpLoadObjCore.h"
#include "host/NativeFraming.h"
#include "upload/Runtime.h"

namespace host {

constexpr const char* kNativeHostName = "com.corvel.ferrant";
constexpr const char* kChromiumExtensionId = FERRANT_EXTENSION_ID;
constexpr const char* kFirefoxExtensionId = FERRANT_GECKO_ID;
// The page host set until "Open" names one: it never ends with the service domain suffix.
constexpr const char* kNoPageHost = "no-page:";
// The longest WaitForChange: below the page library's call time-out.
constexpr uint64_t kMaxChangeWaitMs = 25000;

constexpr int kExitHostEnd = 0;        // the input ended between frames
constexpr int kExitHostBroken = 1;     // bad framing, or the output could not be written
constexpr int kExitForeignCaller = 3;  // not started for the Ferrant extension

enum class Caller { kChromium, kFirefox, kForeign, kNone };

// Who started the host, from the arguments after the program name (or after "native-host").
// kNone: the arguments are not a browser's at all.
Caller CallerOf(const std::vector<std::string>& args);
// The arguments are a browser's caller arguments (ours or another extension's): main enters
// native-host mode for them, since a browser cannot pass a subcommand.
inline bool IsBrowserCall(const std::vector<std::string>& args) {
  return CallerOf(args) != Caller::kNone;
}

// The host of a page origin as the site check compares it: lower-case, without user
// information and port. kNoPageHost for an origin that is not http(s) with a host ("null",
// "file://", garbage).
std::string PageHostOfOrigin(const std::string& origin);

// Applies FERRANT_RESOLVE ("HOST:PORT:ADDR" entries separated by spaces or commas), the user's
// way to map names for the host, which the browser starts without options, to the runtime's
// resolver. Malformed entries are skipped (and named on standard error with FERRANT_DEBUG).
void ApplyResolveEnvironment(Runtime& runtime);
// Applies FERRANT_CA_FILE: the PEM roots https trusts instead of the system's, which the user
// can set for the host and a page cannot.
void ApplyTrustEnvironment(Runtime& runtime);

// Serves one connection until the input ends; returns the exit status.
int ServeNativeConnection(Runtime& runtime, const ByteSource& in, const ByteSink& out,
                          FileChooser chooser);

// The whole command: caller check, diagnostics away from standard output, FERRANT_RESOLVE, then
// ServeNativeConnection on standard input and output with the platform's file chooser;
// cancelChooser (may be empty) closes a dialog still open when the connection ends.
int RunNativeHost(Runtime& runtime, const std::vector<std::string>& callerArgs, FileChooser chooser,
                  const std::function<void()>& cancelChooser);

}  // namespace host
