// The forms name the classic Windows fonts; elsewhere their metric-compatible
// look-alikes stand in for them.
#pragma once

#include <QFont>

namespace ui {
void installFontSubstitutes();

// How far a look-alike of "MS Sans Serif" is condensed, in percent.
inline constexpr int kLookAlikeStretch = 90;

// The forms' "MS Sans Serif", sized in pixels as the forms lay it out.
QFont msSansSerif(int pixelSize, bool bold = false);
}  // namespace ui
