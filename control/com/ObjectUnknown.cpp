// The object's identity: QueryInterface over the interface table in its fixed order, the
// reference count of the inner (non-delegating) unknown, and the delegation of every other
// interface's IUnknown methods to the controlling unknown (the outer object when aggregated).
#include "control/com/Guids.h"
#include "control/com/UpLoadObj.h"

void* CUpLoadObj::FindInterface(REFIID riid) {
  // The order in which a container finds the interfaces.
  const struct {
    const IID* iid;
    void* itf;
  } table[] = {
      {&kIidUpLoadObj, static_cast<IUpLoadObj*>(this)},
      {&IID_IDispatch, static_cast<IUpLoadObj*>(this)},
      {&IID_IViewObjectEx, static_cast<IViewObjectEx*>(this)},
      {&IID_IViewObject2, static_cast<IViewObject2*>(this)},
      {&IID_IViewObject, static_cast<IViewObject*>(this)},
      {&IID_IOleInPlaceObjectWindowless, static_cast<IOleInPlaceObjectWindowless*>(this)},
      {&IID_IOleInPlaceObject, static_cast<IOleInPlaceObject*>(this)},
      {&IID_IOleWindow, static_cast<IOleInPlaceObjectWindowless*>(this)},
      {&IID_IOleInPlaceActiveObject, static_cast<IOleInPlaceActiveObject*>(this)},
      {&IID_IOleControl, static_cast<IOleControl*>(this)},
      {&IID_IOleObject, static_cast<IOleObject*>(this)},
      {&IID_IPersistStreamInit, static_cast<IPersistStreamInit*>(this)},
      {&IID_IPersist, static_cast<IPersistStreamInit*>(this)},
      {&IID_ISupportErrorInfo, static_cast<ISupportErrorInfo*>(this)},
      {&IID_ISpecifyPropertyPages, static_cast<ISpecifyPropertyPages*>(this)},
      {&IID_IQuickActivate, static_cast<IQuickActivate*>(this)},
      {&IID_IPersistStorage, static_cast<IPersistStorage*>(this)},
      {&IID_IDataObject, static_cast<IDataObject*>(this)},
      {&IID_IProvideClassInfo, static_cast<IProvideClassInfo2*>(this)},
      {&IID_IProvideClassInfo2, static_cast<IProvideClassInfo2*>(this)},
      {&IID_IObjectSafety, static_cast<IObjectSafety*>(this)},
  };
  for (const auto& entry : table) {
    if (IsEqualIID(riid, *entry.iid)) return entry.itf;
  }
  return nullptr;
}

STDMETHODIMP CUpLoadObj::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = self_->FindInterface(riid);
  if (*ppv == nullptr) return E_NOINTERFACE;
  // Handed out through the controlling unknown, which holds the object alive.
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CUpLoadObj::InnerUnknown::AddRef() {
  return ++refs_;
}

STDMETHODIMP_(ULONG) CUpLoadObj::InnerUnknown::Release() {
  ULONG n = --refs_;
  if (n == 0) {
    refs_ = 1;  // guards against re-entry while the object tears down
    delete self_;
  }
  return n;
}

STDMETHODIMP CUpLoadObj::QueryInterface(REFIID riid, void** ppv) {
  return outer_->QueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CUpLoadObj::AddRef() {
  return outer_->AddRef();
}

STDMETHODIMP_(ULONG) CUpLoadObj::Release() {
  return outer_->Release();
}
