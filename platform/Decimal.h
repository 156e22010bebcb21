// Decimal numbers read as the C library's conversions read them: optional white space
// (space, tab, CR, LF, FF, VT) and sign, then the digits up to the first other character; no
// digits give 0. A value beyond the type's range saturates at its limit instead of wrapping,
// and every value within the range, its limits included, reads exactly.
//
// Thread safety: no state.
#pragma once

#include <cstdint>
#include <string_view>

int64_t ParseLeadingInt64(std::string_view text);
int32_t ParseLeadingInt32(std::string_view text);
