#include "control/com/UpLoadObj.h"

#include <string>

#include "control/com/FileDialog.h"
#include "control/com/Guids.h"
#include "control/com/Module.h"
#include "platform/CodePage.h"

namespace {

// BSTR (null reads as empty) to narrow text in the active code page.
std::string Narrow(BSTR text) { return platform::WideToNarrow(text ? text : L""); }

HRESULT ReturnText(const std::string& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  std::wstring wide = platform::NarrowToWide(text);
  *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

constexpr DWORD kSafeOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

}  // namespace

CUpLoadObj::CUpLoadObj() : core_(std::make_unique<CUpLoadObjCore>()) {
  ModuleLock();
  core_->SetFileChooser(OpenFileDialogChooser());
  typeInfo_ = TypeInfoOf(kIidUpLoadObj);
}

CUpLoadObj::~CUpLoadObj() {
  if (typeInfo_) typeInfo_->Release();
  ModuleUnlock();
}

STDMETHODIMP CUpLoadObj::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, kIidUpLoadObj) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUpLoadObj*>(this);
  } else if (IsEqualIID(riid, IID_IPersistStreamInit) || IsEqualIID(riid, IID_IPersist)) {
    *ppv = static_cast<IPersistStreamInit*>(this);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else if (IsEqualIID(riid, IID_ISpecifyPropertyPages)) {
    *ppv = static_cast<ISpecifyPropertyPages*>(this);
  } else if (IsEqualIID(riid, IID_IProvideClassInfo) || IsEqualIID(riid, IID_IProvideClassInfo2)) {
    *ppv = static_cast<IProvideClassInfo2*>(this);
  } else if (IsEqualIID(riid, IID_IObjectSafety)) {
    *ppv = static_cast<IObjectSafety*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CUpLoadObj::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) CUpLoadObj::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

STDMETHODIMP CUpLoadObj::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = typeInfo_ ? 1 : 0;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0 || typeInfo_ == nullptr) return DISP_E_BADINDEX;
  typeInfo_->AddRef();
  *info = typeInfo_;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (typeInfo_ == nullptr) return E_FAIL;
  return typeInfo_->GetIDsOfNames(names, count, ids);
}

STDMETHODIMP CUpLoadObj::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  if (typeInfo_ == nullptr) return E_FAIL;
  return typeInfo_->Invoke(static_cast<IUpLoadObj*>(this), id, flags, params, result, excep,
                           argErr);
}

STDMETHODIMP CUpLoadObj::InitService(BSTR userId, BSTR cookie, BSTR url, int nRetry, int nWait) {
  core_->InitService(Narrow(userId).c_str(), Narrow(cookie).c_str(), Narrow(url).c_str(), nRetry,
                     nWait);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SelectFileList(BSTR filter) {
  core_->SelectFileList(Narrow(filter).c_str());
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetFileList(BSTR* result) { return ReturnText(core_->GetFileList(), result); }

STDMETHODIMP CUpLoadObj::DeleteFileList() {
  core_->DeleteFileList();
  return S_OK;
}

STDMETHODIMP CUpLoadObj::AddUpTask(int taskId, BSTR path, BSTR param, int* result) {
  if (result == nullptr) return E_POINTER;
  *result = core_->AddUpTask(taskId, Narrow(path).c_str(), Narrow(param).c_str());
  return S_OK;
}

STDMETHODIMP CUpLoadObj::DeleteUpTask(int taskId, int* result) {
  if (result == nullptr) return E_POINTER;
  *result = core_->DeleteUpTask(taskId);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::ContinueUpTask(int taskId, int* result) {
  if (result == nullptr) return E_POINTER;
  *result = core_->ContinueUpTask(taskId);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::StopUpTask(int taskId, int* result) {
  if (result == nullptr) return E_POINTER;
  *result = core_->StopUpTask(taskId);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetTaskInfo(int taskId, BSTR* result) {
  if (result == nullptr) return E_POINTER;
  std::string line;
  bool known = core_->GetTaskInfo(taskId, &line);
  HRESULT hr = ReturnText(line, result);
  return FAILED(hr) ? hr : (known ? S_OK : S_FALSE);
}

STDMETHODIMP CUpLoadObj::GetTaskCount(int* result) {
  if (result == nullptr) return E_POINTER;
  *result = core_->GetTaskCount();
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetVersionInfo(BSTR* result) {
  return ReturnText(CUpLoadObjCore::GetVersionInfo(), result);
}

STDMETHODIMP CUpLoadObj::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, kIidUpLoadObj) ? S_OK : S_FALSE;
}

STDMETHODIMP CUpLoadObj::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                   DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  IUnknown* unk = nullptr;
  HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&unk));
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
  if (FAILED(QueryInterface(riid, reinterpret_cast<void**>(&unk)))) return E_NOINTERFACE;
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

STDMETHODIMP CUpLoadObj::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidUpLoadObj;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::IsDirty() { return S_FALSE; }

// The persisted properties are the control's extent, "_cx" and "_cy", in HIMETRIC.
STDMETHODIMP CUpLoadObj::Load(LPSTREAM stream) {
  if (stream == nullptr) return E_POINTER;
  ULONG read = 0;
  ULONG extent[2];
  HRESULT hr = stream->Read(extent, sizeof extent, &read);
  if (SUCCEEDED(hr) && read == sizeof extent) {
    extentCx_ = extent[0];
    extentCy_ = extent[1];
  }
  return S_OK;
}

STDMETHODIMP CUpLoadObj::Save(LPSTREAM stream, BOOL) {
  if (stream == nullptr) return E_POINTER;
  ULONG extent[2] = {extentCx_, extentCy_};
  return stream->Write(extent, sizeof extent, nullptr);
}

STDMETHODIMP CUpLoadObj::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = 2 * sizeof(ULONG);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::InitNew() { return S_OK; }
