// `ferrant install-browser-host`: makes the native host known to the browsers, or forgets it.
//
// Writes one host manifest per browser, named com.corvel.ferrant, whose "path" is the absolute
// path of this program (a relative one is "not found" to the browsers): Chromium-family
// manifests allow the extension's origin, Firefox's its id. Linux folders:
//   chromium  ~/.config/chromium/NativeMessagingHosts  (--system
//   /etc/chromium/native-messaging-hosts) chrome    ~/.config/google-chrome/NativeMessagingHosts
//   (--system /etc/opt/chrome/...) edge      ~/.config/microsoft-edge/NativeMessagingHosts
//   (--system /etc/opt/edge/...) firefox   ~/.mozilla/native-messaging-hosts  (--system
//   /usr/lib/mozilla/native-messaging-hosts)
// (~/.config is $XDG_CONFIG_HOME when set); --profile DIR puts a Chromium-family manifest in
// DIR/NativeMessagingHosts, where a browser started with --user-data-dir=DIR reads it. On
// Windows the manifests go to %LOCALAPPDATA%\Corvel\Ferrant\NativeMessagingHosts (--system:
// %ProgramData%) and each browser finds them through the default value of
// HKCU\Software\<vendor>\...\NativeMessagingHosts\com.corvel.ferrant (--system: HKLM).
// --uninstall removes what install writes. Every file and key is named on out.
// --print-manifest FAMILY PATH only prints a manifest: packages install it themselves.
//
// Exit status: 0 done; 1 a file or key could not be written or removed (named on err); 2 the
// options were refused. Runs on one thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace host {

struct BrowserHostOptions {
  std::string browser = "all";  // chromium, chrome, edge, firefox or all
  bool system = false;
  std::string profile;  // a Chromium user-data-dir
  bool uninstall = false;
};

enum class BrowserFamily { kChromium, kFirefox };

// The host manifest for a browser family, with hostPath as the program to start.
std::string HostManifest(BrowserFamily family, const std::string& hostPath);

struct HostTarget {
  std::string browser;
  BrowserFamily family;
  std::string manifestPath;  // UTF-8
  std::string registryKey;   // Windows: the key under HKCU or HKLM; empty elsewhere
};

// Where the manifests (and keys) go; false with a reason when the options are refused or a
// needed folder variable ($HOME, %LOCALAPPDATA%) is not set.
bool BrowserHostTargets(const BrowserHostOptions& options, std::vector<HostTarget>* targets,
                        std::string* why);

int RunInstallBrowserHost(const BrowserHostOptions& options, FILE* out, FILE* err);

// The command line after "install-browser-host": --browser NAME, --user, --system,
// --profile DIR, --uninstall, --help. Returns the exit status.
int RunInstallBrowserHostCommand(const std::vector<std::string>& args);

}  // namespace host
