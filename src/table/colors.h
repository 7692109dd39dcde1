// The colours the program shows, as RGB values of the classic named colours.
#pragma once

#include <cstdint>

namespace table {

using Rgb = std::uint32_t;  // 0xRRGGBB

inline constexpr Rgb clSilver = 0xC0C0C0;
inline constexpr Rgb clRed = 0xFF0000;
inline constexpr Rgb clYellow = 0xFFFF00;
inline constexpr Rgb clGreen = 0x008000;
inline constexpr Rgb clLime = 0x00FF00;
inline constexpr Rgb clFuchsia = 0xFF00FF;
inline constexpr Rgb clAqua = 0x00FFFF;
inline constexpr Rgb clGray = 0x808080;

}  // namespace table
