// Ready-made runs of steps, as a user wants them to try out the wiring of a
// new board: a light running over the channels, all on, every other one,
// or copies of one step.
#pragma once

#include "table/cell_store.h"

namespace sequencer {

enum class PatternKind { Chase, AllOn, Alternate, Fill };

struct Pattern {
  static constexpr int kMaxSteps = 10000;

  PatternKind kind = PatternKind::Chase;
  // The chosen channels; the others stay empty in every step.
  int firstChannel = 1;
  int lastChannel = 48;
  int steps = 48;
};

// The pattern's steps. `source` (one step) is what a fill copies. A step in
// which no chosen channel holds "0" or "1" gets "0" in its empty cells, so
// that it stays a step of the table and is played as all off.
table::ColumnBlock makePattern(const Pattern& pattern, const table::ColumnBlock& source);

}  // namespace sequencer
