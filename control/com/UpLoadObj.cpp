// IUpLoadObj and IDispatch: each method converts its text arguments (BSTR -> narrow text in the
// active code page), forwards to the core and converts the answer back. A null output pointer
// gives E_POINTER; a null BSTR argument reads as the empty text.
#include "control/com/UpLoadObj.h"

#include <string>

#include "control/com/FileDialog.h"
#include "control/com/Guids.h"
#include "control/com/Module.h"
#include "platform/CodePage.h"

namespace {

std::string Narrow(BSTR text) {
  return platform::WideToNarrow(text ? text : L"");
}

HRESULT ReturnText(const std::string& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  std::wstring wide = platform::NarrowToWide(text);
  *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

CUpLoadObj::CUpLoadObj(IUnknown* outer)
    : outer_(outer ? outer : &inner_),
      dialogOwner_(std::make_shared<std::atomic<HWND>>(nullptr)),
      core_(std::make_unique<CUpLoadObjCore>(ModuleRuntime())) {
  ModuleLock();
  core_->SetFileChooser(OpenFileDialogChooser(dialogOwner_));
  typeInfo_ = TypeInfoOf(kIidUpLoadObj);
}

CUpLoadObj::~CUpLoadObj() {
  // A container that never deactivated the control: the window goes first, and with it the
  // uploads (WM_DESTROY), while the core is still whole.
  DestroyControlWindow();
  if (viewSink_) viewSink_->Release();
  if (oleAdvise_) oleAdvise_->Release();
  if (dataAdvise_) dataAdvise_->Release();
  if (uiWindow_) uiWindow_->Release();
  if (frame_) frame_->Release();
  if (inPlaceSite_) inPlaceSite_->Release();
  if (clientSite_) clientSite_->Release();
  if (typeInfo_) typeInfo_->Release();
  core_.reset();
  ModuleUnlock();
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

STDMETHODIMP CUpLoadObj::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                       DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (typeInfo_ == nullptr) return E_FAIL;
  return typeInfo_->GetIDsOfNames(names, count, ids);
}

STDMETHODIMP CUpLoadObj::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (typeInfo_ == nullptr) return E_FAIL;
  return typeInfo_->Invoke(static_cast<IUpLoadObj*>(this), id, flags, params, result, excep,
                           argErr);
}

STDMETHODIMP CUpLoadObj::InitService(BSTR userId, BSTR cookie, BSTR url, int nRetry, int nWait) {
  // The manager's threads run this module's code: it stays loaded from now on.
  PinModule();
  core_->InitService(Narrow(userId).c_str(), Narrow(cookie).c_str(), Narrow(url).c_str(), nRetry,
                     nWait);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SelectFileList(BSTR filter) {
  PinModule();  // the dialog thread runs this module's code
  core_->SelectFileList(Narrow(filter).c_str());
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetFileList(BSTR* result) {
  return ReturnText(core_->GetFileList(), result);
}

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
