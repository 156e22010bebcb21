// `ferrant demo`: the whole upload road against the reference server started in this process
// on free loopback ports, with a temporary store and data folder: the files uploaded with the
// progress display, one uploaded again (nothing is sent), one stopped halfway and resumed, and
// a table of what arrived.
#pragma once

#include <string>
#include <vector>

namespace host {

int RunDemo(const std::vector<std::string>& files);

}  // namespace host
