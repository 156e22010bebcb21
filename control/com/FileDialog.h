// The open-file dialog of SelectFileList: GetOpenFileNameA with the control's settings.
#pragma once

#include "control/UpLoadObj.h"

FileChooser OpenFileDialogChooser();
