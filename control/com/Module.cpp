#include "control/com/Module.h"

#include <atomic>
#include <mutex>

#include "control/com/Guids.h"
#include "upload/Runtime.h"

namespace {
HMODULE g_module = nullptr;
std::atomic<long> g_locks{0};
std::mutex g_tlbLock;
ITypeLib* g_typeLib = nullptr;
std::mutex g_runtimeLock;
Runtime* g_runtime = nullptr;  // never destroyed: see ModuleRuntime
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded while the process goes on: a later load registers the class afresh.
    UnregisterClassA(kControlWindowClass, instance);
  }
  return TRUE;
}

HMODULE ModuleHandle() {
  return g_module;
}
void ModuleLock() {
  ++g_locks;
}
void ModuleUnlock() {
  --g_locks;
}
long ModuleLockCount() {
  return g_locks.load();
}

void PinModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE pinned = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinModule), &pinned);
  });
}

std::string ModulePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(g_module, path, MAX_PATH);
  return path;
}

Runtime& ModuleRuntime() {
  std::lock_guard<std::mutex> g(g_runtimeLock);
  if (g_runtime == nullptr) g_runtime = new Runtime();
  return *g_runtime;
}

ITypeInfo* TypeInfoOf(REFGUID guid) {
  std::lock_guard<std::mutex> g(g_tlbLock);
  if (g_typeLib == nullptr) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &g_typeLib))) return nullptr;
  }
  ITypeInfo* info = nullptr;
  if (FAILED(g_typeLib->GetTypeInfoOfGuid(guid, &info))) return nullptr;
  return info;
}
