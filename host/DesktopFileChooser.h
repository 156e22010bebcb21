// The open-file dialog of the native host on Linux: the desktop's own file chooser.
//
// In order: FERRANT_FILE_SELECTION when it is set (tests and scripts; host/FileSelection.h),
// else the XDG desktop portal on the session bus (host/PortalFileChooser.h), else zenity, else
// kdialog, when the program is on the PATH and a display is set. A multiple
// selection must lie in one folder, as the dialog's buffer wants. No chooser, a cancelled
// dialog or a failed one all read as a cancelled dialog ("NULL" in the file list).
//
// Called on the control's dialog thread (at most one at a time); CancelDesktopChooser, from
// any thread, ends a dialog still open (the page went away) and waits until its thread no
// longer runs a chooser program.
#pragma once

#include <string>
#include <vector>

namespace host {

bool DesktopFileChooser(const std::vector<std::string>& filterItems, std::string* selection);
void CancelDesktopChooser();

// The arguments of a chooser program for the control's filter items (description, pattern
// list separated by ';', ...). Exposed for tests.
std::vector<std::string> ZenityArguments(const std::vector<std::string>& filterItems);
std::vector<std::string> KdialogArguments(const std::vector<std::string>& filterItems);

}  // namespace host
