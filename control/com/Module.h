// The DLL's module state: its handle, the count of live objects and server locks, and the
// control's type library loaded from the module's own resources.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

HMODULE ModuleHandle();
void ModuleLock();
void ModuleUnlock();
long ModuleLockCount();
// The full path of this DLL.
std::string ModulePath();
// The type information of a GUID in the embedded type library (AddRef'd), or null.
ITypeInfo* TypeInfoOf(REFGUID guid);
