// IViewObjectEx and the drawing: a rectangle over the bounds with the current pen and brush,
// and the text "ATL 8.0 : UpLoadObj" centred on its baseline. The control shows no state.
#include "control/com/UpLoadObj.h"

void CUpLoadObj::DrawContent(HDC dc, const RECT& bounds) {
  static const char kText[] = "ATL 8.0 : UpLoadObj";
  HRGN saved = CreateRectRgn(0, 0, 0, 0);
  const bool hadClip = saved && GetClipRgn(dc, saved) == 1;
  IntersectClipRect(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
  Rectangle(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
  const UINT oldAlign = SetTextAlign(dc, TA_CENTER | TA_BASELINE);
  TextOutA(dc, (bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2, kText,
           static_cast<int>(sizeof kText - 1));
  SetTextAlign(dc, oldAlign);
  SelectClipRgn(dc, hadClip ? saved : nullptr);
  if (saved) DeleteObject(saved);
}

void CUpLoadObj::SendViewChange() {
  if (viewSink_ && (viewSinkAspects_ & DVASPECT_CONTENT)) {
    viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
  }
  if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

STDMETHODIMP CUpLoadObj::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                              LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                              ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT && aspect != DVASPECT_OPAQUE) return DV_E_DVASPECT;
  if (dc == nullptr) return E_INVALIDARG;
  RECT rect = pos_;
  if (bounds) rect = RECT{bounds->left, bounds->top, bounds->right, bounds->bottom};
  DrawContent(dc, rect);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                     LOGPALETTE** colors) {
  if (colors) *colors = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::Freeze(DWORD, LONG, void*, DWORD*) {
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::Unfreeze(DWORD) {
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  if (sink) sink->AddRef();
  if (viewSink_) viewSink_->Release();
  viewSink_ = sink;
  viewSinkAspects_ = aspects;
  viewSinkFlags_ = flags;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = viewSinkAspects_;
  if (flags) *flags = viewSinkFlags_;
  if (sink) {
    *sink = viewSink_;
    if (viewSink_) viewSink_->AddRef();
  }
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

STDMETHODIMP CUpLoadObj::GetRect(DWORD, LPRECTL) {
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::GetViewStatus(DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT where, LONG,
                                       DWORD* result) {
  if (result == nullptr || bounds == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  *result = PtInRect(bounds, where) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT rect, LONG,
                                      DWORD* result) {
  if (result == nullptr || bounds == nullptr || rect == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  RECT common;
  *result = IntersectRect(&common, bounds, rect) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*,
                                          LPSIZEL) {
  return E_NOTIMPL;
}
