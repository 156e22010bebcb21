// The end of a `ferrant` command's control: the manager is shut down as the control's window
// destruction does (running tasks stop, task files stay), then the command waits, within a
// bound, for the worker threads and for the detached server-side deletion threads, so that none
// of them still runs while the process exits and its static objects are destroyed.
// Called on the thread that drives the core.
#pragma once

#include "control/UpLoadObj.h"

namespace host {

// True when every thread ended within the bound.
bool ShutDownControl(CUpLoadObjCore& core);

}  // namespace host
