// The DLL's module state: its handle, the count of live objects and server locks, the
// control's type library loaded from the module's own resources, and the process's runtime.
// Thread safety: every function may be called from any thread.
#pragma once

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <oleauto.h>

#include <string>

class Runtime;

HMODULE ModuleHandle();
void ModuleLock();
void ModuleUnlock();
long ModuleLockCount();
// The full path of this DLL.
std::string ModulePath();
// Keeps the module loaded until the process ends: once the control has started threads that
// run this module's code (workers, deletions, the file dialog), unloading it would pull the code
// from under them.
void PinModule();
// The window class of the control's window, registered at first use (InPlace.cpp).
inline constexpr const char* kControlWindowClass = "FerrantUpLoadObjWindow";
const char* ControlWindowClass();
// The runtime every control of the process shares (upload/Runtime.h): made by the first control,
// kept until the process ends, since worker and deletion threads may run this module's code
// after the last control is released (the module is pinned then, PinModule).
Runtime& ModuleRuntime();
// The type information of a GUID in the embedded type library (AddRef'd), or null.
ITypeInfo* TypeInfoOf(REFGUID guid);
