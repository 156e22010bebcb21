// The class factory of UpLoadObj and the DLL's object exports.

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <atomic>

#include "control/com/Guids.h"
#include "control/com/Module.h"
#include "control/com/UpLoadObj.h"

namespace {

class ClassFactory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // one cached factory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // An aggregating outer object asks for the inner unknown and nothing else.
    if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) CUpLoadObj(outer);
    if (object == nullptr) return E_OUTOFMEMORY;
    IUnknown* inner = object->Inner();
    HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ModuleLock();
    } else {
      ModuleUnlock();
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

ClassFactory g_factory;

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, kClsidUpLoadObj)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
  return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}
