// IOleObject, IOleControl and IDataObject: the container's handle on the embedded control. The
// client site also tells which page hosts the control, which the core checks in InitService.
#include "control/com/Guids.h"
#include "control/com/SiteLock.h"
#include "control/com/UpLoadObj.h"

namespace {
// Recompose on resize, can't link inside, inside-out, activate when visible, set client site
// first: the value registered under MiscStatus\1 (131473).
constexpr DWORD kOleMisc = 0x20191;
}  // namespace

STDMETHODIMP CUpLoadObj::SetClientSite(IOleClientSite* site) {
  if (site) site->AddRef();
  if (clientSite_) clientSite_->Release();
  clientSite_ = site;
  // Once placed in a page, the control stays bound to that page's host.
  const std::string url = PageUrlOfSite(site);
  if (!url.empty()) core_->SetPageHost(PageHostOfUrl(url));
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  *site = clientSite_;
  if (clientSite_) clientSite_->AddRef();
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SetHostNames(LPCOLESTR, LPCOLESTR) {
  return S_OK;
}

STDMETHODIMP CUpLoadObj::Close(DWORD) {
  InPlaceDeactivate();
  if (oleAdvise_) oleAdvise_->SendOnClose();
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SetMoniker(DWORD, IMoniker*) {
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker == nullptr) return E_POINTER;
  *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::InitFromData(IDataObject*, BOOL, DWORD) {
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::GetClipboardData(DWORD, IDataObject** data) {
  if (data == nullptr) return E_POINTER;
  *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT pos) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_UIACTIVATE:
      return ActivateInPlace(true, pos);
    case OLEIVERB_INPLACEACTIVATE:
      return ActivateInPlace(false, pos);
    case OLEIVERB_HIDE:
      UIDeactivate();
      if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
      return S_OK;
    case OLEIVERB_DISCARDUNDOSTATE:
      return S_OK;
    default:
      return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
  }
}

STDMETHODIMP CUpLoadObj::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs == nullptr) return E_POINTER;
  return OleRegEnumVerbs(kClsidUpLoadObj, verbs);
}

STDMETHODIMP CUpLoadObj::Update() {
  return S_OK;
}

STDMETHODIMP CUpLoadObj::IsUpToDate() {
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetUserClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidUpLoadObj;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetUserType(DWORD form, LPOLESTR* type) {
  if (type == nullptr) return E_POINTER;
  return OleRegGetUserType(kClsidUpLoadObj, form, type);
}

STDMETHODIMP CUpLoadObj::SetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size->cx != extent_.cx || size->cy != extent_.cy) dirty_ = true;
  extent_ = *size;
  SendViewChange();
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  *size = extent_;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (oleAdvise_ == nullptr) {
    HRESULT hr = CreateOleAdviseHolder(&oleAdvise_);
    if (FAILED(hr)) return hr;
  }
  return oleAdvise_->Advise(sink, cookie);
}

STDMETHODIMP CUpLoadObj::Unadvise(DWORD cookie) {
  return oleAdvise_ ? oleAdvise_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP CUpLoadObj::EnumAdvise(IEnumSTATDATA** advises) {
  if (advises == nullptr) return E_POINTER;
  *advises = nullptr;
  return oleAdvise_ ? oleAdvise_->EnumAdvise(advises) : E_FAIL;
}

STDMETHODIMP CUpLoadObj::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? kOleMisc : 0;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SetColorScheme(LOGPALETTE*) {
  return E_NOTIMPL;
}

// IOleControl: no mnemonics, no ambient properties of interest, no events to freeze.
STDMETHODIMP CUpLoadObj::GetControlInfo(CONTROLINFO*) {
  return E_NOTIMPL;
}
STDMETHODIMP CUpLoadObj::OnMnemonic(MSG*) {
  return E_NOTIMPL;
}
STDMETHODIMP CUpLoadObj::OnAmbientPropertyChange(DISPID) {
  return S_OK;
}
STDMETHODIMP CUpLoadObj::FreezeEvents(BOOL) {
  return S_OK;
}

// IDataObject: the control offers no data formats; data advises are kept for the container.
STDMETHODIMP CUpLoadObj::GetData(FORMATETC*, STGMEDIUM*) {
  return DV_E_FORMATETC;
}
STDMETHODIMP CUpLoadObj::GetDataHere(FORMATETC*, STGMEDIUM*) {
  return E_NOTIMPL;
}
STDMETHODIMP CUpLoadObj::QueryGetData(FORMATETC*) {
  return DV_E_FORMATETC;
}
STDMETHODIMP CUpLoadObj::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
  if (out) out->ptd = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CUpLoadObj::SetData(FORMATETC*, STGMEDIUM*, BOOL) {
  return E_NOTIMPL;
}
STDMETHODIMP CUpLoadObj::EnumFormatEtc(DWORD, IEnumFORMATETC** formats) {
  if (formats) *formats = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (dataAdvise_ == nullptr) {
    HRESULT hr = CreateDataAdviseHolder(&dataAdvise_);
    if (FAILED(hr)) return hr;
  }
  return dataAdvise_->Advise(static_cast<IDataObject*>(this), format, flags, sink, cookie);
}

STDMETHODIMP CUpLoadObj::DUnadvise(DWORD cookie) {
  return dataAdvise_ ? dataAdvise_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP CUpLoadObj::EnumDAdvise(IEnumSTATDATA** advises) {
  if (advises == nullptr) return E_POINTER;
  *advises = nullptr;
  return dataAdvise_ ? dataAdvise_->EnumAdvise(advises) : E_FAIL;
}
