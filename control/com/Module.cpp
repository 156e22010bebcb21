#include "control/com/Module.h"

#include <atomic>
#include <mutex>

#include "control/com/Guids.h"

namespace {
HMODULE g_module = nullptr;
std::atomic<long> g_locks{0};
std::mutex g_tlbLock;
ITypeLib* g_typeLib = nullptr;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HMODULE ModuleHandle() { return g_module; }
void ModuleLock() { ++g_locks; }
void ModuleUnlock() { --g_locks; }
long ModuleLockCount() { return g_locks.load(); }

std::string ModulePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(g_module, path, MAX_PATH);
  return path;
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
