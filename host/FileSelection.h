// The open-file dialog of `ferrant rpc`: Linux has none to show, so the selection comes from the
// environment variable FERRANT_FILE_SELECTION, full paths separated by newlines (a trailing
// newline and empty lines are ignored). Unset or empty reads as a cancelled dialog. Several
// paths must share one folder, as a dialog's multiple selection does; otherwise the selection
// is refused as a failed dialog. Called on the control's dialog thread; reads only the
// environment.
#pragma once

#include <string>
#include <vector>

namespace host {

// A FileChooser (control/UpLoadObjCore.h): on success the dialog's buffer, NUL-separated texts
// ending with an empty text (one path; or the folder and the names in it).
bool EnvironmentFileChooser(const std::vector<std::string>& filterItems, std::string* selection);

// The dialog's buffer for full paths; false when there are none, or when they do not share one
// folder.
bool SelectionOfPaths(const std::vector<std::string>& paths, std::string* selection);
// The non-empty texts between separators (a CR before a separator dropped).
std::vector<std::string> SplitPaths(const std::string& text, char separator);

}  // namespace host
