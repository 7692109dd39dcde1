// The rule by which the interval box's text becomes a step interval: a
// decimal integer (optional blanks before it and a sign), 1 for any text that
// is not one. The caller applies "below 1 counts as 1" where it must.
#pragma once

#include <cstdint>
#include <string_view>

namespace table {

std::int32_t intervalValue(std::string_view text);

}  // namespace table
