// In-place activation and the control's own window.
//
// The control always activates with a window (never windowless): a child of the site's window
// with WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN and no extended style, in a
// window class registered at first use. Its messages: WM_DESTROY ends the uploads (the core's
// OnDestroy); WM_PAINT draws; focus and mouse activation reach the site; the reflected
// notification range and everything else go to the default window procedure.
#include "control/com/Module.h"
#include "control/com/UpLoadObj.h"

namespace {

constexpr DWORD kWindowStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr UINT kReflectedFirst = WM_USER + 0x1c00;  // the reflected notification messages
constexpr UINT kReflectedLast = kReflectedFirst + WM_USER - 1;

LRESULT CALLBACK ControlWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lp);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<CUpLoadObj*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(hwnd, msg, wp, lp);
  if (msg == WM_NCDESTROY) SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  return self->OnMessage(hwnd, msg, wp, lp);
}

}  // namespace

const char* ControlWindowClass() {
  // Registered once per process (and removed when the module unloads, Module.cpp).
  static const ATOM atom = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = ControlWindowProc;
    wc.hInstance = ModuleHandle();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kControlWindowClass;
    return RegisterClassExA(&wc);
  }();
  (void)atom;
  return kControlWindowClass;
}

LRESULT CUpLoadObj::OnMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= kReflectedFirst && msg <= kReflectedLast) return DefWindowProcA(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT client;
      GetClientRect(hwnd, &client);
      DrawContent(dc, client);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
      IOleControlSite* site = nullptr;
      if (clientSite_ && SUCCEEDED(clientSite_->QueryInterface(IID_IOleControlSite,
                                                               reinterpret_cast<void**>(&site)))) {
        site->OnFocus(msg == WM_SETFOCUS);
        site->Release();
      }
      break;
    }
    case WM_MOUSEACTIVATE:
      if (!uiActive_) ActivateInPlace(true, nullptr);
      break;
    case WM_DESTROY:
      // Also when the container destroys its own window first: the handle is gone either way.
      if (hwnd == hwnd_) hwnd_ = nullptr;
      dialogOwner_->store(nullptr);
      core_->OnDestroy();
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

HRESULT CUpLoadObj::ActivateInPlace(bool uiActivate, LPCRECT pos) {
  if (clientSite_ == nullptr) return S_OK;
  if (inPlaceSite_ == nullptr) {
    IOleInPlaceSite* site = nullptr;
    HRESULT hr = clientSite_->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&site));
    if (FAILED(hr)) return hr;
    if (site->CanInPlaceActivate() != S_OK) {
      site->Release();
      return E_FAIL;
    }
    inPlaceSite_ = site;
    inPlaceSite_->OnInPlaceActivate();
  }
  if (hwnd_ == nullptr) {
    HWND parent = nullptr;
    if (FAILED(inPlaceSite_->GetWindow(&parent)) || parent == nullptr) return E_FAIL;
    RECT posRect = pos ? *pos : RECT{0, 0, 0, 0}, clipRect = posRect;
    OLEINPLACEFRAMEINFO info{};
    info.cb = sizeof info;
    if (frame_) frame_->Release();
    if (uiWindow_) uiWindow_->Release();
    frame_ = nullptr;
    uiWindow_ = nullptr;
    inPlaceSite_->GetWindowContext(&frame_, &uiWindow_, &posRect, &clipRect, &info);
    hwnd_ = CreateWindowExA(0, ControlWindowClass(), "", kWindowStyle, posRect.left, posRect.top,
                            posRect.right - posRect.left, posRect.bottom - posRect.top, parent,
                            nullptr, ModuleHandle(), this);
    if (hwnd_ == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    dialogOwner_->store(hwnd_);
    SetObjectRects(&posRect, &clipRect);
  }
  ShowWindow(hwnd_, SW_SHOW);
  if (uiActivate && !uiActive_) {
    uiActive_ = true;
    inPlaceSite_->OnUIActivate();
    if (!IsChild(hwnd_, GetFocus())) SetFocus(hwnd_);
    auto* active = static_cast<IOleInPlaceActiveObject*>(this);
    if (frame_) {
      frame_->SetActiveObject(active, nullptr);
      frame_->SetBorderSpace(nullptr);
    }
    if (uiWindow_) {
      uiWindow_->SetActiveObject(active, nullptr);
      uiWindow_->SetBorderSpace(nullptr);
    }
  }
  return S_OK;
}

void CUpLoadObj::DestroyControlWindow() {
  if (hwnd_ == nullptr) return;
  HWND hwnd = hwnd_;
  hwnd_ = nullptr;
  DestroyWindow(hwnd);
}

STDMETHODIMP CUpLoadObj::GetWindow(HWND* hwnd) {
  if (hwnd == nullptr) return E_POINTER;
  *hwnd = hwnd_;
  return hwnd_ ? S_OK : E_FAIL;
}

STDMETHODIMP CUpLoadObj::ContextSensitiveHelp(BOOL) {
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::InPlaceDeactivate() {
  if (inPlaceSite_ == nullptr) return S_OK;
  UIDeactivate();
  DestroyControlWindow();
  if (uiWindow_) uiWindow_->Release();
  if (frame_) frame_->Release();
  uiWindow_ = nullptr;
  frame_ = nullptr;
  IOleInPlaceSite* site = inPlaceSite_;
  inPlaceSite_ = nullptr;
  site->OnInPlaceDeactivate();
  site->Release();
  return S_OK;
}

STDMETHODIMP CUpLoadObj::UIDeactivate() {
  if (!uiActive_) return S_OK;
  uiActive_ = false;
  if (uiWindow_) {
    uiWindow_->SetActiveObject(nullptr, nullptr);
    uiWindow_->Release();
    uiWindow_ = nullptr;
  }
  if (frame_) {
    frame_->SetActiveObject(nullptr, nullptr);
    frame_->Release();
    frame_ = nullptr;
  }
  if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SetObjectRects(LPCRECT pos, LPCRECT clip) {
  if (pos == nullptr) return E_POINTER;
  pos_ = *pos;
  if (hwnd_ == nullptr) return S_OK;
  SetWindowPos(hwnd_, nullptr, pos->left, pos->top, pos->right - pos->left, pos->bottom - pos->top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  // The part of the window outside the clip rectangle is not shown.
  RECT visible;
  if (clip && IntersectRect(&visible, pos, clip) && !EqualRect(&visible, pos)) {
    OffsetRect(&visible, -pos->left, -pos->top);
    SetWindowRgn(hwnd_, CreateRectRgnIndirect(&visible), TRUE);
  } else {
    SetWindowRgn(hwnd_, nullptr, TRUE);
  }
  return S_OK;
}

STDMETHODIMP CUpLoadObj::ReactivateAndUndo() {
  return E_NOTIMPL;
}

// The control has a window of its own: the container never routes messages through here.
STDMETHODIMP CUpLoadObj::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) {
  return S_FALSE;
}

STDMETHODIMP CUpLoadObj::GetDropTarget(IDropTarget** target) {
  if (target == nullptr) return E_POINTER;
  *target = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CUpLoadObj::TranslateAccelerator(LPMSG) {
  return S_FALSE;
}
STDMETHODIMP CUpLoadObj::OnFrameWindowActivate(BOOL) {
  return S_OK;
}
STDMETHODIMP CUpLoadObj::OnDocWindowActivate(BOOL) {
  return S_OK;
}
STDMETHODIMP CUpLoadObj::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) {
  return S_OK;
}
STDMETHODIMP CUpLoadObj::EnableModeless(BOOL) {
  return S_OK;
}
