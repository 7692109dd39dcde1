// How the main window learns what changed in the state it shows: the table's
// and the form's own state announce each change with what it was.
#pragma once

namespace sequencer {

enum class Change {
  Indicator,   // index: channel 1 … 48
  Status,      // index: status panel 0 … 2
  FixedColor,  // the header row's colour
  Timer1,      // enabled state or interval
  Edit1,
  ComboBox,  // items, text or enabled state
  Columns,   // the column count
  Cells,     // index: a column, or -1 for many
  Marker,    // index: the column whose marker-row cell changed
  CurrentCell,
  Progress,   // position of ProgressBar1 or visibility of Panel3
  GridWidth,  // the housekeeping tick has applied the window's width
};

class Observer {
 public:
  virtual ~Observer() = default;
  virtual void changed(Change what, int index) = 0;
};

}  // namespace sequencer
