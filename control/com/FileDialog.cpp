#include "control/com/FileDialog.h"

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <commdlg.h>

#include <memory>

namespace {

constexpr DWORD kDialogFlags = 0x81A04;  // explorer, file and path must exist, multi, no r/o
constexpr size_t kBufferSize = 16384;
// "选择要上传的文件" (select files to upload) in code page 936.
constexpr const char* kTitle = "\xD1\xA1\xD4\xF1\xD2\xAA\xC9\xCF\xB4\xAB\xB5\xC4\xCE\xC4\xBC\xFE";

#ifndef _WIN64
// The structure with its newer trailing fields, as the dialog is given it.
static_assert(sizeof(OPENFILENAMEA) == 88, "OPENFILENAMEA without its trailing fields");
#endif

}  // namespace

FileChooser OpenFileDialogChooser(std::shared_ptr<std::atomic<HWND>> owner) {
  return [owner](const std::vector<std::string>& filterItems, std::string* selection) {
    std::string filter;
    for (const std::string& item : filterItems) {
      filter += item;
      filter += '\0';
    }
    filter += '\0';
    std::unique_ptr<char[]> buffer(new char[kBufferSize]());
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner ? owner->load() : nullptr;
    if (ofn.hwndOwner != nullptr && !IsWindow(ofn.hwndOwner)) ofn.hwndOwner = nullptr;
    ofn.lpstrFilter = filterItems.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.get();
    ofn.nMaxFile = kBufferSize;
    ofn.lpstrInitialDir = "";
    ofn.lpstrTitle = kTitle;
    ofn.Flags = kDialogFlags;
    // The explorer-style dialog hosts shell objects: the thread gets an apartment of its own.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const BOOL chosen = GetOpenFileNameA(&ofn);
    if (SUCCEEDED(com)) CoUninitialize();
    if (!chosen) return false;
    // NUL-separated texts ending with an empty text.
    size_t end = 0;
    while (end + 1 < kBufferSize && !(buffer[end] == '\0' && buffer[end + 1] == '\0')) ++end;
    selection->assign(buffer.get(), end + 2 < kBufferSize ? end + 2 : kBufferSize);
    return true;
  };
}
