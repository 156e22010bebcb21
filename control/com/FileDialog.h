// The open-file dialog of SelectFileList: GetOpenFileNameA with the control's settings, run on
// the core's dialog thread. The chooser hands back the dialog's buffer as it stands; the core
// turns it into the list text.
#pragma once

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <atomic>
#include <memory>

#include "control/UpLoadObjCore.h"

// owner: the control's window while it has one (null: the dialog has no owner); shared so that
// the dialog thread never reads the control itself, which may be released meanwhile.
FileChooser OpenFileDialogChooser(std::shared_ptr<std::atomic<HWND>> owner);
