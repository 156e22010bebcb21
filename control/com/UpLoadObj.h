// CUpLoadObj: the COM face of the control. Its methods only convert text (BSTR <-> the active
// code page) and forward to the portable core (control/UpLoadObj.h).
//
// Interfaces: IUpLoadObj (dual; IDispatch served from the type library), ISupportErrorInfo,
// IObjectSafety, IProvideClassInfo(2), ISpecifyPropertyPages, IPersist(StreamInit).
// Thread safety: apartment-threaded; called on its apartment's thread only.
#pragma once

#include <objsafe.h>
#include <ocidl.h>
#include <windows.h>

#include <memory>

#include "Ferrant_h.h"
#include "control/UpLoadObj.h"

class CUpLoadObj : public IUpLoadObj,
                   public ISupportErrorInfo,
                   public IObjectSafety,
                   public IProvideClassInfo2,
                   public ISpecifyPropertyPages,
                   public IPersistStreamInit {
 public:
  CUpLoadObj();
  virtual ~CUpLoadObj();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;
  // IUpLoadObj
  STDMETHODIMP InitService(BSTR userId, BSTR cookie, BSTR url, int nRetry, int nWait) override;
  STDMETHODIMP SelectFileList(BSTR filter) override;
  STDMETHODIMP GetFileList(BSTR* result) override;
  STDMETHODIMP DeleteFileList() override;
  STDMETHODIMP AddUpTask(int taskId, BSTR path, BSTR param, int* result) override;
  STDMETHODIMP DeleteUpTask(int taskId, int* result) override;
  STDMETHODIMP ContinueUpTask(int taskId, int* result) override;
  STDMETHODIMP StopUpTask(int taskId, int* result) override;
  STDMETHODIMP GetTaskInfo(int taskId, BSTR* result) override;
  STDMETHODIMP GetTaskCount(int* result) override;
  STDMETHODIMP GetVersionInfo(BSTR* result) override;
  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;
  // IObjectSafety
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;
  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;
  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;
  // IPersistStreamInit
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(LPSTREAM stream) override;
  STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;

 private:
  ULONG refs_ = 1;
  DWORD safety_ = 0;
  ITypeInfo* typeInfo_ = nullptr;
  ULONG extentCx_ = 2540, extentCy_ = 2540;  // HIMETRIC
  std::unique_ptr<CUpLoadObjCore> core_;
};
