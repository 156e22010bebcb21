// `ferrant demo`: the whole upload road against the reference server started in this process
// on a free loopback port, with a temporary store and data folder, written as steps:
//   1. upload the files (generated samples by default) with the progress display;
//   2. upload the last of them again: the service holds it, nothing is sent;
//   3. stop a large file halfway, then resume it from the server's offset;
//   4. a table of what arrived, each server copy checked against the local file's SHA-1.
// The demo has a runtime of its own whose Env keeps the task files in the demo's folder, so
// nothing of the user's is touched; everything it made is removed when it ends, Ctrl-C included.
// It goes over HTTPS with verified certificates (host/DemoCertificates.h: a root made for this
// run, trusted by the demo's runtime only); plain keeps plain HTTP.
#pragma once

#include <string>
#include <vector>

#include "host/InterruptWatch.h"

namespace host {

int RunDemo(const InterruptWatch& interrupts, const std::vector<std::string>& files, bool plain);

}  // namespace host
