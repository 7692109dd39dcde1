// The pictures are compiled into the program; a static library must register
// them before the first window is built.
#pragma once

namespace ui {
void initResources();
}
