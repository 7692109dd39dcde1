// The forms name the classic Windows fonts; elsewhere their metric-compatible
// look-alikes stand in for them.
#pragma once

namespace ui {
void installFontSubstitutes();
}
