// Conversions between UTF-16 (COM's text) and narrow text in the system's active code page.
// Characters the code page cannot hold become its default character.
#pragma once

#include <string>

namespace platform {

std::string WideToNarrow(const std::wstring& wide);
std::wstring NarrowToWide(const std::string& narrow);

}  // namespace platform
