// ferrant.exe: the browsers' native host on Windows, and the command that registers it.
//
//   ferrant.exe chrome-extension://<id>/ [--parent-window=N]   started by Chrome or Edge
//   ferrant.exe <manifest path> <extension id>                  started by Firefox
//   ferrant.exe native-host <caller arguments>
//   ferrant.exe install-browser-host [options]                  (see host/BrowserHostInstall.h)
//
// Arguments arrive as UTF-16 and are passed on as UTF-8. The open-file dialog is the control's
// own (control/com/FileDialog.h), without an owner window.
// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <cstdio>
#include <string>
#include <vector>

#include "control/com/FileDialog.h"
#include "host/BrowserHostInstall.h"
#include "host/NativeHost.h"
#include "upload/Runtime.h"

namespace {

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return "";
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
  const FileChooser dialog = OpenFileDialogChooser(nullptr);
  if (host::IsBrowserCall(args) || (!args.empty() && args[0] == "native-host")) {
    const bool named = !args.empty() && args[0] == "native-host";
    Runtime runtime;  // everything the control has once per process
    return host::RunNativeHost(runtime, {args.begin() + (named ? 1 : 0), args.end()}, dialog, {});
  }
  if (!args.empty() && args[0] == "install-browser-host") {
    return host::RunInstallBrowserHostCommand({args.begin() + 1, args.end()});
  }
  std::fputs(
      "usage: ferrant install-browser-host [--browser chromium|chrome|edge|firefox|all] "
      "[--user | --system] [--uninstall]\n"
      "       ferrant native-host <caller arguments>   (the browser starts it)\n",
      stderr);
  return 2;
}
