// What a container may persist of the control: its extent ("_cx", "_cy", HIMETRIC, 32-bit
// unsigned each) and nothing else; upload state persists through the task files only.
//
// Stream layout (little-endian 32-bit words): version 0x0800, cx, cy. A stream that ends early
// leaves the extent as it was. In a storage the same bytes live in the stream "Contents".
#include "control/com/Guids.h"
#include "control/com/UpLoadObj.h"

namespace {
constexpr ULONG kStreamVersion = 0x0800;
constexpr const wchar_t* kContents = L"Contents";
}  // namespace

STDMETHODIMP CUpLoadObj::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidUpLoadObj;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::IsDirty() {
  return dirty_ ? S_OK : S_FALSE;
}

STDMETHODIMP CUpLoadObj::Load(LPSTREAM stream) {
  if (stream == nullptr) return E_POINTER;
  ULONG words[3] = {};
  ULONG read = 0;
  HRESULT hr = stream->Read(words, sizeof words, &read);
  if (FAILED(hr)) return hr;
  if (read == sizeof words) {
    extent_.cx = static_cast<LONG>(words[1]);
    extent_.cy = static_cast<LONG>(words[2]);
  }
  dirty_ = false;
  return S_OK;
}

STDMETHODIMP CUpLoadObj::Save(LPSTREAM stream, BOOL clearDirty) {
  if (stream == nullptr) return E_POINTER;
  const ULONG words[3] = {kStreamVersion, static_cast<ULONG>(extent_.cx),
                          static_cast<ULONG>(extent_.cy)};
  HRESULT hr = stream->Write(words, sizeof words, nullptr);
  if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
  return hr;
}

STDMETHODIMP CUpLoadObj::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = 3 * sizeof(ULONG);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::InitNew() {
  return S_OK;
}

STDMETHODIMP CUpLoadObj::InitNew(IStorage*) {
  return S_OK;
}

STDMETHODIMP CUpLoadObj::Load(IStorage* storage) {
  if (storage == nullptr) return E_POINTER;
  IStream* stream = nullptr;
  HRESULT hr =
      storage->OpenStream(kContents, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
  if (FAILED(hr)) return hr;
  hr = Load(stream);
  stream->Release();
  return hr;
}

STDMETHODIMP CUpLoadObj::Save(IStorage* storage, BOOL) {
  if (storage == nullptr) return E_POINTER;
  IStream* stream = nullptr;
  HRESULT hr = storage->CreateStream(kContents, STGM_WRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0,
                                     0, &stream);
  if (FAILED(hr)) return hr;
  hr = Save(stream, TRUE);
  stream->Release();
  return hr;
}

STDMETHODIMP CUpLoadObj::SaveCompleted(IStorage*) {
  return S_OK;
}

STDMETHODIMP CUpLoadObj::HandsOffStorage() {
  return S_OK;
}

// One call instead of the usual handshake: the client site, the view's advise sink, and what
// the container needs to know of the control.
STDMETHODIMP CUpLoadObj::QuickActivate(QACONTAINER* container, QACONTROL* control) {
  if (container == nullptr || control == nullptr) return E_POINTER;
  if (container->cbSize < sizeof(QACONTAINER) || control->cbSize < sizeof(QACONTROL)) {
    return E_UNEXPECTED;
  }
  HRESULT hr = SetClientSite(container->pClientSite);
  if (FAILED(hr)) return hr;
  if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
  const ULONG size = control->cbSize;
  ZeroMemory(control, size);
  control->cbSize = size;
  GetMiscStatus(DVASPECT_CONTENT, &control->dwMiscStatus);
  GetViewStatus(&control->dwViewStatus);
  return S_OK;
}

STDMETHODIMP CUpLoadObj::SetContentExtent(LPSIZEL size) {
  return SetExtent(DVASPECT_CONTENT, size);
}

STDMETHODIMP CUpLoadObj::GetContentExtent(LPSIZEL size) {
  return GetExtent(DVASPECT_CONTENT, size);
}
