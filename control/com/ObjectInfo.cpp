// What the object tells about itself: error-info support, its safety for scripting, its class
// information and its (empty) list of property pages.
#include "control/com/Guids.h"
#include "control/com/Module.h"
#include "control/com/UpLoadObj.h"

namespace {
constexpr DWORD kSafeOptions =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
}  // namespace

STDMETHODIMP CUpLoadObj::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, kIidUpLoadObj) ? S_OK : S_FALSE;
}

// The options are asked and set per interface; an interface the object does not answer has none.
STDMETHODIMP CUpLoadObj::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  IUnknown* unk = nullptr;
  HRESULT hr = inner_.QueryInterface(riid, reinterpret_cast<void**>(&unk));
  if (FAILED(hr)) {
    *supported = *enabled = 0;
    return hr;
  }
  unk->Release();
  *supported = kSafeOptions;
  *enabled = safety_;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  IUnknown* unk = nullptr;
  if (FAILED(inner_.QueryInterface(riid, reinterpret_cast<void**>(&unk)))) return E_NOINTERFACE;
  unk->Release();
  if (mask > kSafeOptions) return E_FAIL;
  safety_ = (mask & enabled) | (~mask & safety_);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = TypeInfoOf(kClsidUpLoadObj);
  return *info ? S_OK : E_FAIL;
}

// The control raises no events: it has no default source interface.
STDMETHODIMP CUpLoadObj::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  *guid = GUID_NULL;
  return kind == GUIDKIND_DEFAULT_SOURCE_DISP_IID ? E_FAIL : E_INVALIDARG;
}

STDMETHODIMP CUpLoadObj::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = nullptr;
  return S_OK;
}
