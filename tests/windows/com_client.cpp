// A COM client of the registered Ferrant.dll, run under Wine: the scripting interface through
// IDispatch::Invoke and through the vtable, the interface list, the safety options, aggregation,
// persistence, the page-host lock, in-place activation with the control's window, and drawing.
// Prints one line per failed check and "N passed, N failed"; the exit code is the failure count.
// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <objsafe.h>
#include <ocidl.h>
#include <urlmon.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Ferrant_h.h"

namespace {

const CLSID kClsid = {0xCC98CADB, 0xE94C, 0x4240, {0x97, 0x23, 0x3E, 0x07, 0x07, 0x27, 0x1E, 0x17}};
const IID kIid = {0x5D1BA784, 0x4FD5, 0x4D19, {0x87, 0x70, 0x44, 0x4A, 0x7E, 0xDD, 0xDA, 0xD6}};
const wchar_t kServiceUrl[] = L"http://dispatch.corvel.example/index.php";
const char kWindowClassName[] = "FerrantUpLoadObjWindow";

int g_passed = 0, g_failed = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL %s\n", what);
  }
}

template <typename T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T* operator->() const { return p; }
  void** out() {
    reset();
    return reinterpret_cast<void**>(&p);
  }
  explicit operator bool() const { return p != nullptr; }
};

struct Bstr {
  BSTR b;
  explicit Bstr(const wchar_t* text) : b(SysAllocString(text)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b); }
};

std::wstring Take(BSTR b) {
  std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
  return CoCreateInstance(kClsid, outer, CLSCTX_INPROC_SERVER, riid, ppv);
}

// --- a client site that is a page (a URL moniker) and an in-place site with a window -------

class TestSite : public IOleClientSite, public IOleInPlaceSite {
 public:
  TestSite(const wchar_t* url, HWND parent) : url_(url ? url : L""), parent_(parent) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
      *ppv = static_cast<IOleClientSite*>(this);
    } else if (parent_ &&
               (IsEqualIID(riid, IID_IOleInPlaceSite) || IsEqualIID(riid, IID_IOleWindow))) {
      *ppv = static_cast<IOleInPlaceSite*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD which, IMoniker** mk) override {
    *mk = nullptr;
    if (url_.empty() || which != OLEWHICHMK_CONTAINER) return E_FAIL;
    return CreateURLMoniker(nullptr, url_.c_str(), mk);
  }
  STDMETHODIMP GetContainer(IOleContainer** c) override {
    *c = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow, IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* h) override {
    *h = parent_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override {
    ++activations;
    return S_OK;
  }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr;
    *doc = nullptr;
    SetRect(pos, 10, 20, 210, 120);
    SetRect(clip, 0, 0, 400, 300);
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override {
    ++deactivations;
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  int activations = 0, deactivations = 0;

 private:
  std::wstring url_;
  HWND parent_;
  ULONG refs_ = 1;
};

// A controlling unknown that aggregates the control.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  IUnknown* inner = nullptr;
  ULONG refs = 1;
};

// --- the checks ----------------------------------------------------------------------------

void TestDispatch() {
  Ptr<IDispatch> d;
  Check(SUCCEEDED(Create(nullptr, IID_IDispatch, d.out())), "create through IDispatch");
  if (!d) return;
  const wchar_t* names[] = {L"InitService", L"SelectFileList", L"GetFileList",    L"DeleteFileList",
                            L"AddUpTask",   L"DeleteUpTask",   L"ContinueUpTask", L"StopUpTask",
                            L"GetTaskInfo", L"GetTaskCount",   L"GetVersionInfo"};
  bool ids = true;
  for (int i = 0; i < 11; ++i) {
    LPOLESTR name = const_cast<LPOLESTR>(names[i]);
    DISPID id = -1;
    ids = ids && SUCCEEDED(d->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)) && id == i + 1;
  }
  Check(ids, "DISPIDs 1 to 11 in the listed order");
  LPOLESTR unknown = const_cast<LPOLESTR>(L"Advise");
  DISPID none = 0;
  Check(d->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &none) == DISP_E_UNKNOWNNAME,
        "an unknown name has no DISPID");

  auto call = [&](DISPID id, std::vector<VARIANT> args, VARIANT* result) {
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VariantInit(result);
    return d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
  };
  auto str = [](const wchar_t* text) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
  };
  auto num = [](int n) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = n;
    return v;
  };
  VARIANT r;
  Check(call(11, {}, &r) == S_OK && r.vt == VT_BSTR &&
            Take(r.bstrVal) == L"Tavik Upload Plug-in v1.5.6.6",
        "GetVersionInfo by Invoke");
  Check(call(10, {}, &r) == S_OK && r.vt == VT_I4 && r.lVal == 0,
        "GetTaskCount by Invoke before InitService");
  // Arguments go right to left.
  std::vector<VARIANT> init = {num(1), num(2), str(kServiceUrl), str(L"cookie"), str(L"u7")};
  Check(call(1, init, &r) == S_OK, "InitService by Invoke");
  for (VARIANT& v : init) VariantClear(&v);
  std::vector<VARIANT> add = {str(L"p=1"), str(L"C:\\windows\\win.ini"), num(5)};
  Check(call(5, add, &r) == S_OK && r.vt == VT_I4 && r.lVal == 1, "AddUpTask by Invoke");
  for (VARIANT& v : add) VariantClear(&v);
  Check(call(9, {num(5)}, &r) == S_OK && r.vt == VT_BSTR &&
            Take(r.bstrVal).find(L"|Status=1|ErrCode=100|") != std::wstring::npos,
        "GetTaskInfo by Invoke");
  VARIANT wrongType = str(L"not a number");
  Check(FAILED(call(6, {wrongType}, &r)), "a task number that is no number is refused");
  VariantClear(&wrongType);
  Check(call(6, {num(5)}, &r) == S_OK && r.lVal == 1, "DeleteUpTask by Invoke");
  Check(d->Invoke(11, IID_IDispatch, 0, DISPATCH_METHOD, nullptr, &r, nullptr, nullptr) ==
            DISP_E_UNKNOWNINTERFACE,
        "Invoke wants IID_NULL");
}

void TestVtable() {
  Ptr<IUpLoadObj> o;
  Check(SUCCEEDED(Create(nullptr, kIid, o.out())), "create through IUpLoadObj");
  if (!o) return;
  Check(o->GetFileList(nullptr) == E_POINTER && o->GetTaskInfo(1, nullptr) == E_POINTER &&
            o->GetTaskCount(nullptr) == E_POINTER && o->GetVersionInfo(nullptr) == E_POINTER &&
            o->AddUpTask(1, nullptr, nullptr, nullptr) == E_POINTER &&
            o->DeleteUpTask(1, nullptr) == E_POINTER &&
            o->ContinueUpTask(1, nullptr) == E_POINTER && o->StopUpTask(1, nullptr) == E_POINTER,
        "null output pointers give E_POINTER");
  int n = -1;
  Check(o->GetTaskCount(&n) == S_OK && n == 0, "no tasks before InitService");
  Check(o->AddUpTask(1, nullptr, nullptr, &n) == S_OK && n == 0, "no task before InitService");
  BSTR line = nullptr;
  Check(o->GetTaskInfo(1, &line) == S_FALSE && Take(line) == L"NULL",
        "an unknown task gives NULL and S_FALSE");

  Bstr user(L"u8"), cookie(L"c"), foreign(L"http://dispatch.corvel.org/index.php"),
      service(kServiceUrl), path(L"C:\\windows\\win.ini");
  o->InitService(user.b, cookie.b, foreign.b, 1, 1);
  Check(o->AddUpTask(1, path.b, nullptr, &n) == S_OK && n == 0,
        "a dispatch address outside the service domain builds no manager");
  o->InitService(user.b, cookie.b, service.b, 1, 1);
  Check(o->AddUpTask(1, path.b, nullptr, &n) == S_OK && n == 1, "a null task parameter is empty");
  Check(o->GetTaskInfo(1, &line) == S_OK &&
            Take(line).rfind(L"FileName=C:\\windows\\win.ini|FileSize=", 0) == 0,
        "the status line names the file");
  Check(o->StopUpTask(1, &n) == S_OK && n == 1 && o->StopUpTask(2, &n) == S_OK && n == 0,
        "StopUpTask answers 1 for a known task, 0 for an unknown one");
  // Text outside ASCII travels through the active code page and back.
  Bstr umlaut(L"C:\\windows\\caf\x00e9.txt");
  Check(o->AddUpTask(2, umlaut.b, nullptr, &n) == S_OK && n == 1 &&
            o->GetTaskInfo(2, &line) == S_OK &&
            Take(line).find(L"caf\x00e9.txt|") != std::wstring::npos,
        "a path in the code page comes back unchanged");
  Check(o->DeleteUpTask(1, &n) == S_OK && n == 1 && o->DeleteUpTask(2, &n) == S_OK && n == 1,
        "tasks are deleted");
  Check(o->GetFileList(&line) == S_OK && Take(line) == L"NULL", "the file list reads NULL");
}

void TestInterfaces() {
  Ptr<IUnknown> unk;
  Check(SUCCEEDED(Create(nullptr, IID_IUnknown, unk.out())), "create through IUnknown");
  if (!unk) return;
  const IID* iids[] = {&kIid,
                       &IID_IDispatch,
                       &IID_IViewObjectEx,
                       &IID_IViewObject2,
                       &IID_IViewObject,
                       &IID_IOleInPlaceObjectWindowless,
                       &IID_IOleInPlaceObject,
                       &IID_IOleWindow,
                       &IID_IOleInPlaceActiveObject,
                       &IID_IOleControl,
                       &IID_IOleObject,
                       &IID_IPersistStreamInit,
                       &IID_IPersist,
                       &IID_ISupportErrorInfo,
                       &IID_ISpecifyPropertyPages,
                       &IID_IQuickActivate,
                       &IID_IPersistStorage,
                       &IID_IDataObject,
                       &IID_IProvideClassInfo,
                       &IID_IProvideClassInfo2,
                       &IID_IObjectSafety};
  int answered = 0;
  bool sameIdentity = true;
  for (const IID* iid : iids) {
    Ptr<IUnknown> itf, back;
    if (SUCCEEDED(unk->QueryInterface(*iid, itf.out()))) {
      ++answered;
      sameIdentity = sameIdentity && SUCCEEDED(itf->QueryInterface(IID_IUnknown, back.out())) &&
                     back.p == unk.p;
    }
  }
  Check(answered == 21, "all 21 interfaces are answered");
  Check(sameIdentity, "every interface leads back to one IUnknown");
  Ptr<IUnknown> none;
  Check(unk->QueryInterface(IID_IConnectionPointContainer, none.out()) == E_NOINTERFACE && !none,
        "no connection points");
  Check(unk->QueryInterface(IID_IPersistPropertyBag, none.out()) == E_NOINTERFACE,
        "no property bag");

  Ptr<ISupportErrorInfo> sei;
  unk->QueryInterface(IID_ISupportErrorInfo, sei.out());
  Check(sei && sei->InterfaceSupportsErrorInfo(kIid) == S_OK &&
            sei->InterfaceSupportsErrorInfo(IID_IDispatch) == S_FALSE,
        "error info for IUpLoadObj only");

  Ptr<IProvideClassInfo2> pci;
  unk->QueryInterface(IID_IProvideClassInfo2, pci.out());
  Ptr<ITypeInfo> info;
  TYPEATTR* attr = nullptr;
  bool coclass = pci && SUCCEEDED(pci->GetClassInfo(reinterpret_cast<ITypeInfo**>(info.out()))) &&
                 SUCCEEDED(info->GetTypeAttr(&attr));
  if (coclass) {
    coclass = IsEqualGUID(attr->guid, kClsid) && attr->typekind == TKIND_COCLASS;
    info->ReleaseTypeAttr(attr);
  }
  Check(coclass, "class info is the coclass UpLoadObj");
  GUID source;
  Check(pci && FAILED(pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source)),
        "no default source interface");

  Ptr<ISpecifyPropertyPages> pages;
  unk->QueryInterface(IID_ISpecifyPropertyPages, pages.out());
  CAUUID list{5, nullptr};
  Check(pages && pages->GetPages(&list) == S_OK && list.cElems == 0, "no property pages");

  Ptr<IOleObject> ole;
  unk->QueryInterface(IID_IOleObject, ole.out());
  DWORD misc = 0;
  Check(ole && ole->GetMiscStatus(DVASPECT_CONTENT, &misc) == S_OK && misc == 131473,
        "misc status 131473");
}

void TestSafety() {
  Ptr<IObjectSafety> s;
  Check(SUCCEEDED(Create(nullptr, IID_IObjectSafety, s.out())), "create through IObjectSafety");
  if (!s) return;
  DWORD supported = 9, enabled = 9;
  Check(s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled) == S_OK &&
            supported == 3 && enabled == 0,
        "safe for scripting and data offered, none enabled at first");
  Check(s->GetInterfaceSafetyOptions(IID_IConnectionPointContainer, &supported, &enabled) ==
                E_NOINTERFACE &&
            supported == 0 && enabled == 0,
        "an interface the object lacks has no options");
  Check(s->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled) == E_POINTER &&
            s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr) == E_POINTER,
        "null outputs give E_POINTER");
  Check(s->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3) == S_OK &&
            s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled) == S_OK &&
            enabled == 3,
        "both options set");
  Check(s->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0) == S_OK &&
            s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled) == S_OK &&
            enabled == 2,
        "the mask clears only what it names");
  Check(s->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4) == E_FAIL &&
            s->SetInterfaceSafetyOptions(IID_IDispatch, 0xFFFFFFFF, 0) == E_FAIL &&
            s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled) == S_OK &&
            enabled == 2,
        "an option outside the two is refused and changes nothing");
  Check(s->SetInterfaceSafetyOptions(IID_IConnectionPointContainer, 1, 1) == E_NOINTERFACE,
        "options of an interface the object lacks cannot be set");
}

void TestAggregation() {
  Outer outer;
  Ptr<IUnknown> refused;
  Check(Create(&outer, IID_IDispatch, refused.out()) == CLASS_E_NOAGGREGATION,
        "an aggregating outer must ask for IUnknown");
  Check(SUCCEEDED(Create(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner))),
        "aggregated creation");
  if (!outer.inner) return;
  Ptr<IUpLoadObj> o;
  ULONG before = outer.refs;
  Check(SUCCEEDED(outer.QueryInterface(kIid, o.out())) && outer.refs == before + 1,
        "an aggregated interface counts on the outer object");
  Ptr<IUnknown> identity;
  Check(o && SUCCEEDED(o->QueryInterface(IID_IUnknown, identity.out())) &&
            identity.p == static_cast<IUnknown*>(&outer),
        "an aggregated interface leads back to the outer object");
  identity.reset();
  BSTR version = nullptr;
  Check(o && o->GetVersionInfo(&version) == S_OK && !Take(version).empty(),
        "an aggregated object works");
  o.reset();
  outer.inner->Release();
  outer.inner = nullptr;
}

class MemoryStream {
 public:
  MemoryStream() { CreateStreamOnHGlobal(nullptr, TRUE, &stream); }
  ~MemoryStream() {
    if (stream) stream->Release();
  }
  void Rewind() {
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  }
  IStream* stream = nullptr;
};

void TestPersistence() {
  Ptr<IOleObject> a, b;
  Create(nullptr, IID_IOleObject, a.out());
  Create(nullptr, IID_IOleObject, b.out());
  if (!a || !b) {
    Check(false, "create through IOleObject");
    return;
  }
  SIZEL size{1234, 567};
  Check(a->SetExtent(DVASPECT_CONTENT, &size) == S_OK, "extent set");
  Ptr<IPersistStreamInit> pa, pb;
  a->QueryInterface(IID_IPersistStreamInit, pa.out());
  b->QueryInterface(IID_IPersistStreamInit, pb.out());
  CLSID clsid{};
  Check(pa && pa->GetClassID(&clsid) == S_OK && IsEqualCLSID(clsid, kClsid), "class id");
  Check(pa && pa->IsDirty() == S_OK, "a changed extent is dirty");
  MemoryStream m;
  Check(pa && pa->Save(m.stream, TRUE) == S_OK && pa->IsDirty() == S_FALSE, "extent saved");
  m.Rewind();
  SIZEL loaded{};
  Check(pb && pb->Load(m.stream) == S_OK && b->GetExtent(DVASPECT_CONTENT, &loaded) == S_OK &&
            loaded.cx == 1234 && loaded.cy == 567,
        "extent loaded into another control");

  Ptr<IPersistStorage> sa, sb;
  a->QueryInterface(IID_IPersistStorage, sa.out());
  b->QueryInterface(IID_IPersistStorage, sb.out());
  Ptr<ILockBytes> bytes;
  Ptr<IStorage> storage;
  CreateILockBytesOnHGlobal(nullptr, TRUE, reinterpret_cast<ILockBytes**>(bytes.out()));
  StgCreateDocfileOnILockBytes(bytes.p, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                               reinterpret_cast<IStorage**>(storage.out()));
  size = SIZEL{42, 43};
  b->SetExtent(DVASPECT_CONTENT, &size);
  Check(storage && sb && sb->Save(storage.p, FALSE) == S_OK && sa->Load(storage.p) == S_OK &&
            a->GetExtent(DVASPECT_CONTENT, &loaded) == S_OK && loaded.cx == 42 && loaded.cy == 43,
        "extent through a storage");
}

// The page that hosts the control decides whether InitService may reach the dispatch server.
void TestPageHost() {
  struct Case {
    const wchar_t* url;
    int expected;
    const char* what;
  } cases[] = {
      {nullptr, 1, "a host that is no page is not restricted"},
      {L"http://www.corvel.example/upload.html", 1, "a page of the service domain"},
      {L"https://WWW.Corvel.Example:8443/u?x=1", 1, "a page of the service domain, any case"},
      {L"http://www.corvel.org/upload.html", 0, "a page outside the service domain"},
      {L"http://www.corvel.example@evil.org/", 0, "user information does not make a host"},
      {L"http://evil.org/www.corvel.example", 0, "a path does not make a host"},
      {L"file:///C:/pages/upload.html", 0, "a page from a file"},
  };
  for (const Case& c : cases) {
    TestSite site(c.url, nullptr);
    Ptr<IOleObject> ole;
    Create(nullptr, IID_IOleObject, ole.out());
    Ptr<IUpLoadObj> o;
    if (!ole || FAILED(ole->QueryInterface(kIid, o.out()))) {
      Check(false, c.what);
      continue;
    }
    ole->SetClientSite(&site);
    Bstr user(L"u9"), cookie(L"c"), url(kServiceUrl), path(L"C:\\windows\\system.ini");
    o->InitService(user.b, cookie.b, url.b, 0, 0);
    int n = -1;
    o->AddUpTask(3, path.b, nullptr, &n);
    Check(n == c.expected, c.what);
    if (n == 1) o->DeleteUpTask(3, &n);
    ole->SetClientSite(nullptr);
  }
}

LRESULT CALLBACK ParentProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return DefWindowProcW(h, m, w, l);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// In-place activation: a child window of the site's window with the control's styles; its
// destruction ends the uploads.
void TestWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ParentProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"FerrantTestParent";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassW(&wc);
  HWND parent =
      CreateWindowW(L"FerrantTestParent", L"Ferrant host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                    400, 300, nullptr, nullptr, wc.hInstance, nullptr);
  Check(parent != nullptr, "a parent window (is a display there?)");
  if (parent == nullptr) return;
  TestSite site(L"http://www.corvel.example/upload.html", parent);
  Ptr<IOleObject> ole;
  Create(nullptr, IID_IOleObject, ole.out());
  Ptr<IUpLoadObj> o;
  Ptr<IOleInPlaceObject> inplace;
  if (!ole || FAILED(ole->QueryInterface(kIid, o.out())) ||
      FAILED(ole->QueryInterface(IID_IOleInPlaceObject, inplace.out()))) {
    Check(false, "create through IOleObject");
    DestroyWindow(parent);
    return;
  }
  ole->SetClientSite(&site);
  RECT pos{10, 20, 210, 120};
  Check(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, parent, &pos) == S_OK &&
            site.activations == 1,
        "in-place activation");
  HWND hwnd = nullptr;
  Check(inplace->GetWindow(&hwnd) == S_OK && hwnd != nullptr && GetParent(hwnd) == parent,
        "the control has a child window of the site's window");
  Check(static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)) == 0x56000000 &&
            GetWindowLongW(hwnd, GWL_EXSTYLE) == 0,
        "window styles 0x56000000, no extended style");
  RECT r{};
  GetWindowRect(hwnd, &r);
  Check(r.right - r.left == 200 && r.bottom - r.top == 100, "the window takes the site's rect");
  Pump();

  Bstr user(L"u10"), cookie(L"c"), url(kServiceUrl), path(L"C:\\windows\\win.ini");
  o->InitService(user.b, cookie.b, url.b, 0, 0);
  int n = -1;
  Check(o->AddUpTask(4, path.b, nullptr, &n) == S_OK && n == 1, "a task in the hosted control");
  ole->Close(OLECLOSE_NOSAVE);
  Check(!IsWindow(hwnd) && site.deactivations == 1, "closing destroys the window");
  Check(o->GetTaskCount(&n) == S_OK && n == 0 && o->AddUpTask(5, path.b, nullptr, &n) == S_OK &&
            n == 0,
        "the destroyed window ended the manager");
  ole->SetClientSite(nullptr);
  DestroyWindow(parent);
  Pump();
}

// The drawing: a rectangle over the bounds and the centred text.
void TestDraw() {
  Ptr<IViewObject> view;
  Create(nullptr, IID_IViewObject, view.out());
  if (!view) {
    Check(false, "create through IViewObject");
    return;
  }
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 200, 100);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bmp);
  RECT all{0, 0, 200, 100};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
  SelectObject(dc, GetStockObject(BLACK_PEN));
  SelectObject(dc, GetStockObject(WHITE_BRUSH));
  RECTL bounds{20, 10, 180, 90};
  Check(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr,
                   0) == S_OK,
        "Draw");
  const COLORREF black = RGB(0, 0, 0), white = RGB(255, 255, 255);
  const COLORREF gray = GetPixel(dc, 5, 5);
  Check(GetPixel(dc, 20, 50) == black && GetPixel(dc, 179, 50) == black, "the rectangle's edge");
  Check(GetPixel(dc, 30, 20) == white, "the rectangle's inside");
  Check(GetPixel(dc, 10, 50) == gray && GetPixel(dc, 190, 50) == gray, "nothing outside bounds");
  int inked = 0;
  for (int x = 40; x < 160; ++x) {
    for (int y = 30; y < 52; ++y) inked += GetPixel(dc, x, y) == black;
  }
  Check(inked > 20, "the text above the centre line");
  int below = 0;
  for (int x = 40; x < 160; ++x) {
    for (int y = 56; y < 88; ++y) below += GetPixel(dc, x, y) == black;
  }
  Check(below < inked / 4, "the text stands on its baseline at the centre");
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);
}

// The open-file dialogs of this process (the dialog thread's top-level #32770 windows).
BOOL CALLBACK CollectFileDialog(HWND h, LPARAM list) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  char cls[16] = {};
  GetClassNameA(h, cls, sizeof cls);
  if (pid == GetCurrentProcessId() && std::string(cls) == "#32770" && IsWindowVisible(h)) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
  }
  return TRUE;
}

std::vector<HWND> FileDialogs() {
  std::vector<HWND> found;
  EnumWindows(CollectFileDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND WaitForDialog() {
  for (int i = 0; i < 200; ++i) {
    std::vector<HWND> d = FileDialogs();
    if (!d.empty()) return d[0];
    Sleep(50);
  }
  return nullptr;
}

std::wstring WaitForList(IUpLoadObj* o) {
  BSTR list = nullptr;
  for (int i = 0; i < 200; ++i) {
    o->GetFileList(&list);
    std::wstring text = Take(list);
    if (text != L"NULL") return text;
    Sleep(50);
  }
  return L"NULL";
}

// Waits until no file dialog is open and its thread has had time to publish.
void WaitForNoDialog() {
  for (int i = 0; i < 200 && !FileDialogs().empty(); ++i) Sleep(50);
  Sleep(300);
}

BOOL CALLBACK FindFileNameEdit(HWND h, LPARAM found) {
  char cls[16] = {};
  GetClassNameA(h, cls, sizeof cls);
  const int id = GetDlgCtrlID(h);
  if (std::string(cls) == "Edit" && (id == 0x47c || id == 0x480)) {
    *reinterpret_cast<HWND*>(found) = h;
    return FALSE;
  }
  return TRUE;
}

// Types into the file-name box (an edit inside the combo box 0x47c, or the edit 0x480) and
// presses the OK button.
void Type(HWND dialog, const char* text) {
  HWND edit = nullptr;
  EnumChildWindows(dialog, FindFileNameEdit, reinterpret_cast<LPARAM>(&edit));
  if (edit) SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
}

void Cancel(HWND dialog) {
  if (dialog == nullptr) return;
  Sleep(300);
  SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
}

void WriteFile(const char* path, int bytes) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::string data(bytes, 'x');
  DWORD wrote = 0;
  ::WriteFile(h, data.data(), bytes, &wrote, nullptr);
  CloseHandle(h);
}

// The file dialog, driven as a user would: a path typed and confirmed, two names in a folder,
// a cancel.
void TestFileDialog() {
  CreateDirectoryA("C:\\ferrant\\pick", nullptr);
  WriteFile("C:\\ferrant\\pick\\x.txt", 10);
  WriteFile("C:\\ferrant\\pick\\y.txt", 0);
  Ptr<IUpLoadObj> o;
  Create(nullptr, kIid, o.out());
  if (!o) return;
  Bstr filter(L"Text|*.txt|All|*.*|");
  o->DeleteFileList();
  o->SelectFileList(filter.b);
  o->SelectFileList(filter.b);
  HWND dialog = WaitForDialog();
  Check(dialog != nullptr, "SelectFileList shows the dialog");
  if (dialog == nullptr) return;
  Sleep(300);
  Check(FileDialogs().size() == 1, "a second SelectFileList while one is open does nothing");
  Type(dialog, "C:\\ferrant\\pick\\x.txt");
  Check(WaitForList(o.p) == L"C:\\ferrant\\pick\\x.txt*10", "one chosen file and its size");
  WaitForNoDialog();
  o->DeleteFileList();

  o->SelectFileList(filter.b);
  dialog = WaitForDialog();
  if (dialog) {
    Type(dialog, "C:\\ferrant\\pick");
    Sleep(500);
    Type(dialog, "\"x.txt\" \"y.txt\"");
  }
  Check(WaitForList(o.p) == L"C:\\ferrant\\pick\\x.txt*10|C:\\ferrant\\pick\\y.txt*0",
        "two chosen files joined by one bar");
  WaitForNoDialog();
  // The earlier selection stays listed until the next dialog ends.

  o->SelectFileList(filter.b);
  dialog = WaitForDialog();
  Cancel(dialog);
  WaitForNoDialog();
  BSTR list = nullptr;
  Check(o->GetFileList(&list) == S_OK && Take(list) == L"NULL", "a cancelled dialog leaves NULL");

  // Released while its dialog is open: the dialog ends on its own later.
  o->SelectFileList(filter.b);
  dialog = WaitForDialog();
  o.reset();
  Cancel(dialog);
  WaitForNoDialog();
  Check(FileDialogs().empty(), "a dialog outlives its released control safely");
}

// Writes the client area of a window as a 24-bit BMP file; the count of black pixels inside
// rect (client coordinates) goes to *inked.
bool SaveScreenshot(HWND window, const char* path, const RECT& rect, int* inked) {
  RECT client;
  GetClientRect(window, &client);
  const int w = client.right, h = client.bottom;
  HDC wdc = GetDC(window);
  HDC mdc = CreateCompatibleDC(wdc);
  HBITMAP bmp = CreateCompatibleBitmap(wdc, w, h);
  HGDIOBJ old = SelectObject(mdc, bmp);
  BitBlt(mdc, 0, 0, w, h, wdc, 0, 0, SRCCOPY);
  SelectObject(mdc, old);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  const int stride = (w * 3 + 3) & ~3;
  std::vector<BYTE> pixels(static_cast<size_t>(stride) * h);
  const bool got = GetDIBits(mdc, bmp, 0, h, pixels.data(), &bi, DIB_RGB_COLORS) == h;
  DeleteObject(bmp);
  DeleteDC(mdc);
  ReleaseDC(window, wdc);
  if (!got) return false;
  *inked = 0;
  for (int y = rect.top; y < rect.bottom; ++y) {
    const BYTE* row = &pixels[static_cast<size_t>(h - 1 - y) * stride];
    for (int x = rect.left; x < rect.right; ++x) {
      *inked += row[x * 3] == 0 && row[x * 3 + 1] == 0 && row[x * 3 + 2] == 0;
    }
  }
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  std::fwrite(&fh, sizeof fh, 1, f);
  std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
  std::fwrite(pixels.data(), 1, pixels.size(), f);
  return std::fclose(f) == 0;
}

// The control in the system's ActiveX host window class (AtlAxWin of atl.dll), created by its
// ProgID as a dialog or a simple container would; a screenshot of the host is left in
// C:\ferrant\hosted.bmp.
void TestAxHost() {
  HMODULE atl = LoadLibraryW(L"atl.dll");
  using InitFn = BOOL(WINAPI*)();
  using GetControlFn = HRESULT(WINAPI*)(HWND, IUnknown**);
  auto init =
      atl ? reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")))
          : nullptr;
  auto getControl = atl ? reinterpret_cast<GetControlFn>(
                              reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")))
                        : nullptr;
  Check(init && getControl && init(), "the ActiveX host window class");
  if (!init || !getControl) return;
  HWND top =
      CreateWindowW(L"FerrantTestParent", L"Ferrant in AtlAxWin", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                    50, 50, 360, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  HWND host = CreateWindowExW(0, L"AtlAxWin", L"Ferrant.UpLoadObj", WS_CHILD | WS_VISIBLE, 20, 20,
                              300, 120, top, nullptr, GetModuleHandleW(nullptr), nullptr);
  Pump();
  Ptr<IUnknown> unk;
  Ptr<IUpLoadObj> o;
  Check(host && getControl(host, reinterpret_cast<IUnknown**>(unk.out())) == S_OK && unk &&
            SUCCEEDED(unk->QueryInterface(kIid, o.out())),
        "the host creates the control by its ProgID");
  HWND own = host ? FindWindowExA(host, nullptr, kWindowClassName, nullptr) : nullptr;
  Check(own && static_cast<DWORD>(GetWindowLongW(own, GWL_STYLE)) == 0x56000000,
        "the hosted control shows its own window");
  for (int i = 0; i < 10; ++i) {
    RedrawWindow(top, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
    Sleep(50);
  }
  int inked = 0;
  RECT inside{40, 40, 300, 120};
  Check(SaveScreenshot(top, "C:\\ferrant\\hosted.bmp", inside, &inked) && inked > 30,
        "the hosted control draws its text (hosted.bmp)");
  int n = -1;
  if (o) {
    Bstr user(L"u11"), cookie(L"c"), url(kServiceUrl), path(L"C:\\windows\\win.ini");
    o->InitService(user.b, cookie.b, url.b, 0, 0);
    Check(o->AddUpTask(1, path.b, nullptr, &n) == S_OK && n == 1,
          "a host without a page is not restricted");
  }
  DestroyWindow(top);
  Pump();
  Check(o && o->GetTaskCount(&n) == S_OK && n == 0, "closing the host ends the uploads");
}

}  // namespace

int main(int argc, char** argv) {
  const bool withWindows = argc > 1 && std::string(argv[1]) == "--windows";
  if (FAILED(OleInitialize(nullptr))) {
    std::printf("OleInitialize failed\n");
    return 1;
  }
  TestDispatch();
  TestVtable();
  TestInterfaces();
  TestSafety();
  TestAggregation();
  TestPersistence();
  TestPageHost();
  if (withWindows) {
    TestWindow();
    TestDraw();
    TestAxHost();
    TestFileDialog();
  }
  OleUninitialize();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  std::fflush(stdout);
  return g_failed;
}
