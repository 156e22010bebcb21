// DllRegisterServer, DllUnregisterServer and DllInstall: the registry entries of the class, its
// ProgIDs, its AppID and its type library, under HKEY_CLASSES_ROOT or, for DllInstall with the
// command line "user", under the current user's classes.
// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <oleauto.h>

#include <string>

#include "control/com/Guids.h"
#include "control/com/Module.h"

namespace {

// Where the entries go: the machine's classes, or the current user's.
enum class Scope { kMachine, kUser };

// The per-user type-library calls of oleaut32 (not in every SDK's headers).
using RegisterForUserFn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUserFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <typename Fn>
Fn OleAut(const char* name) {
  HMODULE oleaut = GetModuleHandleA("oleaut32.dll");
  return oleaut ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(oleaut, name)))
                : nullptr;
}

HKEY Root(Scope scope, HKEY* opened) {
  *opened = nullptr;
  if (scope == Scope::kMachine) return HKEY_CLASSES_ROOT;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, opened, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return *opened;
}

// Sets the default value (name null) or a named string value of root\key.
LONG SetText(HKEY root, const std::string& key, const char* name, const std::string& value) {
  HKEY h;
  LONG r = RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (r != ERROR_SUCCESS) return r;
  r = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
  return r;
}

LONG MakeKey(HKEY root, const std::string& key) {
  HKEY h;
  LONG r = RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (r == ERROR_SUCCESS) RegCloseKey(h);
  return r;
}

HRESULT FromWin32(LONG r) {
  return r == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(r);
}

// The module's entries: the AppID and its DLL name.
HRESULT RegisterModule(HKEY root) {
  LONG r = SetText(root, std::string("AppID\\") + kAppIdText, nullptr, "Ferrant");
  if (r == ERROR_SUCCESS) r = SetText(root, "AppID\\Ferrant.DLL", "AppID", kAppIdText);
  return FromWin32(r);
}

HRESULT RegisterClassEntries(HKEY root) {
  const std::string module = ModulePath();
  const std::string clsid = std::string("CLSID\\") + kClsidText;
  const struct {
    std::string key;
    const char* name;
    std::string value;
  } values[] = {
      {kProgId, nullptr, "UpLoadObj Class"},
      {std::string(kProgId) + "\\CLSID", nullptr, kClsidText},
      {kProgIdIndependent, nullptr, "UpLoadObj Class"},
      {std::string(kProgIdIndependent) + "\\CLSID", nullptr, kClsidText},
      {std::string(kProgIdIndependent) + "\\CurVer", nullptr, kProgId},
      {clsid, nullptr, "UpLoadObj Class"},
      {clsid, "AppID", kAppIdText},
      {clsid + "\\ProgID", nullptr, kProgId},
      {clsid + "\\VersionIndependentProgID", nullptr, kProgIdIndependent},
      {clsid + "\\InprocServer32", nullptr, module},
      {clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {clsid + "\\ToolboxBitmap32", nullptr, module + ", 102"},
      {clsid + "\\MiscStatus", nullptr, "0"},
      {clsid + "\\MiscStatus\\1", nullptr, kMiscStatus},
      {clsid + "\\TypeLib", nullptr, kLibidText},
      {clsid + "\\Version", nullptr, "1.0"},
  };
  for (const auto& v : values) {
    LONG r = SetText(root, v.key, v.name, v.value);
    if (r != ERROR_SUCCESS) return FromWin32(r);
  }
  for (const char* sub : {"\\Programmable", "\\Control"}) {
    LONG r = MakeKey(root, clsid + sub);
    if (r != ERROR_SUCCESS) return FromWin32(r);
  }
  return S_OK;
}

HRESULT RegisterTypes(Scope scope) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(ModuleHandle(), path, MAX_PATH);
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  if (scope == Scope::kUser) {
    auto forUser = OleAut<RegisterForUserFn>("RegisterTypeLibForUser");
    hr = forUser ? forUser(lib, path, nullptr) : E_NOTIMPL;
  } else {
    hr = RegisterTypeLib(lib, path, nullptr);
  }
  lib->Release();
  return hr;
}

void UnregisterTypes(Scope scope) {
#ifdef _WIN64
  const SYSKIND kind = SYS_WIN64;
#else
  const SYSKIND kind = SYS_WIN32;
#endif
  if (scope == Scope::kUser) {
    auto forUser = OleAut<UnregisterForUserFn>("UnRegisterTypeLibForUser");
    if (forUser) forUser(kLibidFerrant, 1, 0, 0x0804, kind);
  } else {
    UnRegisterTypeLib(kLibidFerrant, 1, 0, 0x0804, kind);
  }
}

HRESULT Register(Scope scope) {
  HKEY opened;
  HKEY root = Root(scope, &opened);
  if (root == nullptr) return E_ACCESSDENIED;
  HRESULT hr = RegisterModule(root);
  if (SUCCEEDED(hr)) hr = RegisterClassEntries(root);
  if (SUCCEEDED(hr)) hr = RegisterTypes(scope);
  if (opened) RegCloseKey(opened);
  return hr;
}

HRESULT Unregister(Scope scope) {
  HKEY opened;
  HKEY root = Root(scope, &opened);
  if (root == nullptr) return E_ACCESSDENIED;
  RegDeleteTreeA(root, (std::string("CLSID\\") + kClsidText).c_str());
  RegDeleteTreeA(root, kProgId);
  RegDeleteTreeA(root, kProgIdIndependent);
  UnregisterTypes(scope);
  // The AppID key itself stays; its DLL entry goes.
  RegDeleteTreeA(root, "AppID\\Ferrant.DLL");
  if (opened) RegCloseKey(opened);
  return S_OK;
}

}  // namespace

extern "C" HRESULT WINAPI DllRegisterServer() {
  return Register(Scope::kMachine);
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  return Unregister(Scope::kMachine);
}

extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR commandLine) {
  const Scope scope = commandLine != nullptr && lstrcmpiW(commandLine, L"user") == 0
                          ? Scope::kUser
                          : Scope::kMachine;
  if (!install) return Unregister(scope);
  const HRESULT hr = Register(scope);
  if (FAILED(hr)) Unregister(scope);
  return hr;
}
