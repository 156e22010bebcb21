// The desktop's file chooser through the XDG desktop portal on the session bus
// (org.freedesktop.portal.FileChooser.OpenFile, answered by a Response signal on the request
// object), the way sandboxed and desktop programs alike ask for files on Linux.
//
// PortalChoose blocks until the user answers, the dialog fails, or cancelFd becomes readable
// (the request is then closed, and the dialog with it). Only file:// URIs of this machine are
// taken, percent-decoded.
//
// Thread safety: one call at a time per thread; it opens a bus connection of its own.
#pragma once

#include <string>
#include <vector>

namespace host {

enum class PortalResult {
  kChosen,       // *paths holds the chosen files
  kCancelled,    // the user cancelled, the dialog failed, or cancelFd fired
  kUnavailable,  // no session bus or no portal on it: another chooser may be tried
};

PortalResult PortalChoose(const std::vector<std::string>& filterItems, int cancelFd,
                          std::vector<std::string>* paths);

// The local path of a file:// URI ("file:///a%20b" -> "/a b"); empty for any other URI.
std::string PathOfFileUri(const std::string& uri);

}  // namespace host
