#include "control/com/FileDialog.h"

#include <windows.h>
#include <commdlg.h>

#include <memory>

namespace {

constexpr DWORD kDialogFlags = 0x81A04;  // explorer, file and path must exist, multi, no r/o
constexpr size_t kBufferSize = 16384;
// "选择要上传的文件" (select files to upload) in code page 936.
constexpr const char* kTitle =
    "\xD1\xA1\xD4\xF1\xD2\xAA\xC9\xCF\xB4\xAB\xB5\xC4\xCE\xC4\xBC\xFE";

}  // namespace

FileChooser OpenFileDialogChooser() {
  return [](const std::vector<std::string>& filterItems, std::string* selection) {
    std::string filter;
    for (const std::string& item : filterItems) {
      filter += item;
      filter += '\0';
    }
    filter += '\0';
    std::unique_ptr<char[]> buffer(new char[kBufferSize]());
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = nullptr;
    ofn.lpstrFilter = filterItems.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.get();
    ofn.nMaxFile = kBufferSize;
    ofn.lpstrInitialDir = "";
    ofn.lpstrTitle = kTitle;
    ofn.Flags = kDialogFlags;
    if (!GetOpenFileNameA(&ofn)) return false;
    // NUL-separated texts ending with an empty text.
    size_t end = 0;
    while (end + 1 < kBufferSize && !(buffer[end] == '\0' && buffer[end + 1] == '\0')) ++end;
    selection->assign(buffer.get(), end + 2);
    return true;
  };
}
