// CUpLoadObj: the COM face of the control. Its scripting methods only convert text (BSTR <-> the
// active code page) and forward to the portable core (control/UpLoadObjCore.h); the rest is the
// standard plumbing a container expects of a control, each group in a small file of its own:
//
//   ObjectUnknown.cpp   identity: QueryInterface in the fixed order below, reference counts,
//                       aggregation (an inner non-delegating IUnknown)
//   UpLoadObj.cpp       IUpLoadObj and IDispatch (served from the embedded type library)
//   ObjectInfo.cpp      ISupportErrorInfo, IObjectSafety, IProvideClassInfo2,
//                       ISpecifyPropertyPages
//   Persistence.cpp     IPersistStreamInit, IPersistStorage, IQuickActivate: the extent only
//   OleObject.cpp       IOleObject, IOleControl, IDataObject, the client site and its page host
//   InPlace.cpp         in-place activation, the control's window and its messages
//   ViewObject.cpp      IViewObjectEx and the drawing
//
// Interfaces answered, in this order: IUpLoadObj, IDispatch, IViewObjectEx, IViewObject2,
// IViewObject, IOleInPlaceObjectWindowless, IOleInPlaceObject, IOleWindow,
// IOleInPlaceActiveObject, IOleControl, IOleObject, IPersistStreamInit, IPersist,
// ISupportErrorInfo, ISpecifyPropertyPages, IQuickActivate, IPersistStorage, IDataObject,
// IProvideClassInfo, IProvideClassInfo2, IObjectSafety (and IUnknown).
//
// Thread safety: apartment-threaded; every call arrives on the apartment's thread, so the
// reference counts are plain. Only the file dialog runs on a thread of its own, and it touches
// nothing of this object (the core's file list and a shared owner-window cell).
//
// Lifetime: destroying the control's window ends its uploads (the core's OnDestroy). Releasing
// the object destroys the window first if the container left it alive.
#pragma once

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <objsafe.h>
#include <ocidl.h>

#include <atomic>
#include <memory>

#include "Ferrant_h.h"
#include "control/UpLoadObjCore.h"

class CUpLoadObj : public IUpLoadObj,
                   public IViewObjectEx,
                   public IOleInPlaceObjectWindowless,
                   public IOleInPlaceActiveObject,
                   public IOleControl,
                   public IOleObject,
                   public IPersistStreamInit,
                   public ISupportErrorInfo,
                   public ISpecifyPropertyPages,
                   public IQuickActivate,
                   public IPersistStorage,
                   public IDataObject,
                   public IProvideClassInfo2,
                   public IObjectSafety {
 public:
  // outer: the controlling unknown when aggregated, else null.
  explicit CUpLoadObj(IUnknown* outer);
  virtual ~CUpLoadObj();
  CUpLoadObj(const CUpLoadObj&) = delete;
  CUpLoadObj& operator=(const CUpLoadObj&) = delete;

  // The non-delegating IUnknown: the object's own identity, handed to an aggregating outer.
  IUnknown* Inner() { return &inner_; }

  // IUnknown (delegating to the controlling unknown)
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

  // IViewObject, IViewObject2, IViewObjectEx
  STDMETHODIMP Draw(DWORD aspect, LONG lindex, void* aspectInfo, DVTARGETDEVICE* target,
                    HDC targetDc, HDC dc, LPCRECTL bounds, LPCRECTL wBounds,
                    BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR), ULONG_PTR contArg) override;
  STDMETHODIMP GetColorSet(DWORD aspect, LONG lindex, void* aspectInfo, DVTARGETDEVICE* target,
                           HDC targetDc, LOGPALETTE** colors) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG lindex, void* aspectInfo, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD freeze) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG lindex, DVTARGETDEVICE* target, LPSIZEL size) override;
  STDMETHODIMP GetRect(DWORD aspect, LPRECTL rect) override;
  STDMETHODIMP GetViewStatus(DWORD* status) override;
  STDMETHODIMP QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT where, LONG closeHint,
                             DWORD* result) override;
  STDMETHODIMP QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT rect, LONG closeHint,
                            DWORD* result) override;
  STDMETHODIMP GetNaturalExtent(DWORD aspect, LONG lindex, DVTARGETDEVICE* target, HDC targetDc,
                                DVEXTENTINFO* info, LPSIZEL size) override;

  // IOleWindow, IOleInPlaceObject, IOleInPlaceObjectWindowless, IOleInPlaceActiveObject
  STDMETHODIMP GetWindow(HWND* hwnd) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override;
  STDMETHODIMP OnWindowMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;
  STDMETHODIMP GetDropTarget(IDropTarget** target) override;
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* uiWindow, BOOL frame) override;
  STDMETHODIMP EnableModeless(BOOL enable) override;

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG* msg) override;
  STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD saveOption) override;
  STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG lindex, HWND parent,
                      LPCRECT pos) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP IsUpToDate() override;
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** advises) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

  // IPersist, IPersistStreamInit, IPersistStorage
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(LPSTREAM stream) override;
  STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP InitNew(IStorage* storage) override;
  STDMETHODIMP Load(IStorage* storage) override;
  STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
  STDMETHODIMP SaveCompleted(IStorage* storage) override;
  STDMETHODIMP HandsOffStorage() override;

  // IQuickActivate
  STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
  STDMETHODIMP SetContentExtent(LPSIZEL size) override;
  STDMETHODIMP GetContentExtent(LPSIZEL size) override;

  // IDataObject
  STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
  STDMETHODIMP GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
  STDMETHODIMP QueryGetData(FORMATETC* format) override;
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
  STDMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
  STDMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
  STDMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP DUnadvise(DWORD cookie) override;
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA** advises) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;
  // IObjectSafety
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;
  // IProvideClassInfo, IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;
  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

  // The window procedure's way back into the object (InPlace.cpp).
  LRESULT OnMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

 private:
  class InnerUnknown : public IUnknown {
   public:
    explicit InnerUnknown(CUpLoadObj* self) : self_(self) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    CUpLoadObj* self_;
    ULONG refs_ = 1;
  };

  // The object's own interface for riid (AddRef'd through the controlling unknown), or null.
  void* FindInterface(REFIID riid);
  HRESULT ActivateInPlace(bool uiActivate, LPCRECT pos);
  void DestroyControlWindow();
  void DrawContent(HDC dc, const RECT& bounds);
  void SendViewChange();

  InnerUnknown inner_{this};
  IUnknown* outer_;  // the controlling unknown: outer object or &inner_; not owned
  ITypeInfo* typeInfo_ = nullptr;
  DWORD safety_ = 0;
  SIZEL extent_ = {2540, 2540};  // HIMETRIC
  bool dirty_ = false;

  IOleClientSite* clientSite_ = nullptr;
  IOleInPlaceSite* inPlaceSite_ = nullptr;
  IOleInPlaceFrame* frame_ = nullptr;
  IOleInPlaceUIWindow* uiWindow_ = nullptr;
  IOleAdviseHolder* oleAdvise_ = nullptr;
  IDataAdviseHolder* dataAdvise_ = nullptr;
  IAdviseSink* viewSink_ = nullptr;
  DWORD viewSinkAspects_ = 0, viewSinkFlags_ = 0;
  bool uiActive_ = false;
  HWND hwnd_ = nullptr;
  RECT pos_ = {0, 0, 0, 0};

  // Shared with the file dialog's chooser: the window the dialog is owned by, or null.
  std::shared_ptr<std::atomic<HWND>> dialogOwner_;
  std::unique_ptr<CUpLoadObjCore> core_;
};
