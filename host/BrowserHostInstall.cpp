#include "host/BrowserHostInstall.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/NativeHost.h"

namespace host {
namespace {

namespace fs = std::filesystem;

fs::path FromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string ToUtf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// An environment variable as a path; empty when unset or empty.
fs::path EnvPath(const char* name) {
#ifdef _WIN32
  const std::wstring wide(name, name + std::char_traits<char>::length(name));
  const wchar_t* value = _wgetenv(wide.c_str());
  return value && *value ? fs::path(value) : fs::path();
#else
  const char* value = std::getenv(name);
  return value && *value ? fs::path(value) : fs::path();
#endif
}

std::string ProgramPath() {
#ifdef _WIN32
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return ToUtf8(fs::path(buffer));
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : ToUtf8(self);
#endif
}

struct Browser {
  const char* name;
  BrowserFamily family;
  const char* linuxUser;    // under ~/.config (the Firefox one under ~)
  const char* linuxSystem;  // absolute
  const char* registry;     // under HKCU\Software or HKLM\Software
};

constexpr Browser kBrowsers[] = {
    {"chromium", BrowserFamily::kChromium, "chromium/NativeMessagingHosts",
     "/etc/chromium/native-messaging-hosts", "Chromium\\NativeMessagingHosts"},
    {"chrome", BrowserFamily::kChromium, "google-chrome/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts", "Google\\Chrome\\NativeMessagingHosts"},
    {"edge", BrowserFamily::kChromium, "microsoft-edge/NativeMessagingHosts",
     "/etc/opt/edge/native-messaging-hosts", "Microsoft\\Edge\\NativeMessagingHosts"},
    {"firefox", BrowserFamily::kFirefox, ".mozilla/native-messaging-hosts",
     "/usr/lib/mozilla/native-messaging-hosts", "Mozilla\\NativeMessagingHosts"},
};

const std::string kManifestName = std::string(kNativeHostName) + ".json";

#ifdef _WIN32
HKEY RegistryRoot(bool system) {
  return system ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring Wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

bool WriteKey(bool system, const std::string& key, const std::string& manifest) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(RegistryRoot(system), Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring value = FromUtf8(manifest).wstring();
  const LONG r =
      RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return r == ERROR_SUCCESS;
}

bool RemoveKey(bool system, const std::string& key) {
  const LONG r = RegDeleteKeyW(RegistryRoot(system), Wide(key).c_str());
  return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}
#endif

}  // namespace

std::string HostManifest(BrowserFamily family, const std::string& hostPath) {
  nlohmann::ordered_json manifest = {
      {"name", kNativeHostName},
      {"description", "Ferrant upload control"},
      {"path", hostPath},
      {"type", "stdio"},
  };
  if (family == BrowserFamily::kChromium) {
    manifest["allowed_origins"] = {std::string("chrome-extension://") + kChromiumExtensionId + "/"};
  } else {
    manifest["allowed_extensions"] = {kFirefoxExtensionId};
  }
  return manifest.dump(2) + "\n";
}

bool BrowserHostTargets(const BrowserHostOptions& options, std::vector<HostTarget>* targets,
                        std::string* why) {
  targets->clear();
  bool known = options.browser == "all";
  for (const Browser& b : kBrowsers) known = known || options.browser == b.name;
  if (!known) {
    *why = "--browser wants chromium, chrome, edge, firefox or all, not " + options.browser;
    return false;
  }
  if (!options.profile.empty() && options.system) {
    *why = "--profile and --system exclude each other";
    return false;
  }
  if (!options.profile.empty() && options.browser == "firefox") {
    *why = "Firefox reads host manifests per user, not per profile: leave out --profile";
    return false;
  }
#ifdef _WIN32
  if (!options.profile.empty()) {
    *why = "on Windows the browsers find the host through the registry: leave out --profile";
    return false;
  }
  const fs::path base = EnvPath(options.system ? "ProgramData" : "LOCALAPPDATA");
  if (base.empty()) {
    *why = options.system ? "%ProgramData% is not set" : "%LOCALAPPDATA% is not set";
    return false;
  }
  const fs::path folder = base / "Corvel" / "Ferrant" / "NativeMessagingHosts";
#else
  const fs::path home = EnvPath("HOME");
  fs::path config = EnvPath("XDG_CONFIG_HOME");
  if (config.empty() && !home.empty()) config = home / ".config";
  if (!options.system && options.profile.empty() && home.empty()) {
    *why = "$HOME is not set";
    return false;
  }
#endif
  for (const Browser& b : kBrowsers) {
    if (options.browser != "all" && options.browser != b.name) continue;
    // With --profile, "all" means the Chromium family: Firefox has no per-profile folder.
    if (!options.profile.empty() && b.family == BrowserFamily::kFirefox) continue;
    HostTarget t{b.name, b.family, "", ""};
#ifdef _WIN32
    const std::string family = b.family == BrowserFamily::kFirefox ? "firefox" : "chromium";
    t.manifestPath = ToUtf8(folder / (std::string(kNativeHostName) + "." + family + ".json"));
    t.registryKey = std::string("Software\\") + b.registry + "\\" + kNativeHostName;
#else
    fs::path dir;
    if (!options.profile.empty()) {
      dir = fs::absolute(FromUtf8(options.profile)) / "NativeMessagingHosts";
    } else if (options.system) {
      dir = b.linuxSystem;
    } else if (b.family == BrowserFamily::kFirefox) {
      dir = home / b.linuxUser;
    } else {
      dir = config / b.linuxUser;
    }
    t.manifestPath = ToUtf8(dir / kManifestName);
#endif
    targets->push_back(t);
  }
  return true;
}

int RunInstallBrowserHost(const BrowserHostOptions& options, FILE* out, FILE* err) {
  std::vector<HostTarget> targets;
  std::string why;
  if (!BrowserHostTargets(options, &targets, &why)) {
    std::fprintf(err, "ferrant install-browser-host: %s\n", why.c_str());
    return 2;
  }
  const std::string program = ProgramPath();
  if (program.empty()) {
    std::fprintf(err, "ferrant install-browser-host: cannot tell this program's own path\n");
    return 1;
  }
  int failed = 0;
  for (const HostTarget& t : targets) {
    const fs::path manifest = FromUtf8(t.manifestPath);
    std::error_code ec;
    if (options.uninstall) {
      fs::remove(manifest, ec);
      if (ec) {
        std::fprintf(err, "%s: cannot remove %s: %s\n", t.browser.c_str(), t.manifestPath.c_str(),
                     ec.message().c_str());
        ++failed;
      } else {
        std::fprintf(out, "%s: removed %s\n", t.browser.c_str(), t.manifestPath.c_str());
      }
#ifdef _WIN32
      if (!RemoveKey(options.system, t.registryKey)) {
        std::fprintf(err, "%s: cannot remove the key %s\n", t.browser.c_str(),
                     t.registryKey.c_str());
        ++failed;
      } else {
        std::fprintf(out, "%s: removed the key %s\\%s\n", t.browser.c_str(),
                     options.system ? "HKLM" : "HKCU", t.registryKey.c_str());
      }
#endif
      continue;
    }
    fs::create_directories(manifest.parent_path(), ec);
    std::ofstream file(manifest, std::ios::binary | std::ios::trunc);
    file << HostManifest(t.family, program);
    file.close();
    if (!file) {
      std::fprintf(err, "%s: cannot write %s\n", t.browser.c_str(), t.manifestPath.c_str());
      ++failed;
      continue;
    }
    std::fprintf(out, "%s: wrote %s\n", t.browser.c_str(), t.manifestPath.c_str());
#ifdef _WIN32
    if (!WriteKey(options.system, t.registryKey, t.manifestPath)) {
      std::fprintf(err, "%s: cannot write the key %s\n", t.browser.c_str(), t.registryKey.c_str());
      ++failed;
    } else {
      std::fprintf(out, "%s: %s\\%s = %s\n", t.browser.c_str(), options.system ? "HKLM" : "HKCU",
                   t.registryKey.c_str(), t.manifestPath.c_str());
    }
#endif
  }
  return failed == 0 ? 0 : 1;
}

int RunInstallBrowserHostCommand(const std::vector<std::string>& args) {
  static const char* const kUsage =
      "usage: ferrant install-browser-host [--browser chromium|chrome|edge|firefox|all] "
      "[--user | --system] [--profile DIR] [--uninstall]\n"
      "Writes the native host's manifests (and on Windows its registry keys) so that the "
      "browsers can start this program for the Ferrant extension; --uninstall removes them.\n"
      "  --browser   which browser (default: all)\n"
      "  --user      for the current user (the default)\n"
      "  --system    for every user of the machine\n"
      "  --profile   a Chromium user-data-dir, for a browser started with --user-data-dir=DIR\n"
      "  --print-manifest chromium|firefox PATH\n"
      "              only print the manifest for a host installed at PATH (for packages)\n";
  BrowserHostOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--browser" && hasValue) {
      options.browser = args[++i];
    } else if (a.rfind("--browser=", 0) == 0) {
      options.browser = a.substr(10);
    } else if (a == "--profile" && hasValue) {
      options.profile = args[++i];
    } else if (a.rfind("--profile=", 0) == 0) {
      options.profile = a.substr(10);
    } else if (a == "--user") {
      options.system = false;
    } else if (a == "--system") {
      options.system = true;
    } else if (a == "--uninstall") {
      options.uninstall = true;
    } else if (a == "--print-manifest" && i + 2 < args.size() &&
               (args[i + 1] == "chromium" || args[i + 1] == "firefox")) {
      const BrowserFamily family =
          args[i + 1] == "chromium" ? BrowserFamily::kChromium : BrowserFamily::kFirefox;
      std::fputs(HostManifest(family, args[i + 2]).c_str(), stdout);
      return 0;
    } else {
      std::fprintf(stderr, "ferrant install-browser-host: unknown option %s\n%s", a.c_str(),
                   kUsage);
      return 2;
    }
  }
  return RunInstallBrowserHost(options, stdout, stderr);
}

}  // namespace host
