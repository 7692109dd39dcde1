#include "sequencer/patterns.h"

#include <algorithm>

using table::CellStore;
using table::ColumnBlock;

namespace sequencer {

ColumnBlock makePattern(const Pattern& pattern, const ColumnBlock& source) {
  const int first = std::clamp(std::min(pattern.firstChannel, pattern.lastChannel), 1, 48);
  const int last = std::clamp(std::max(pattern.firstChannel, pattern.lastChannel), 1, 48);
  const int width = last - first + 1;
  const int steps = std::clamp(pattern.steps, 1, Pattern::kMaxSteps);

  ColumnBlock block(steps);
  for (int step = 0; step < steps; ++step) {
    bool data = false;
    for (int k = first; k <= last; ++k) {
      const std::size_t i = ColumnBlock::at(step, k);
      bool on = false;
      switch (pattern.kind) {
        case PatternKind::Chase: on = k - first == step % width; break;
        case PatternKind::AllOn: on = true; break;
        case PatternKind::Alternate: on = (k - first + step) % 2 == 0; break;
        case PatternKind::Fill: {
          const std::size_t from = ColumnBlock::at(0, k);
          if (source.columns < 1) break;
          block.codes[i] = source.codes[from];
          const auto text = std::find_if(source.others.begin(), source.others.end(),
                                         [&](const auto& other) { return other.first == from; });
          if (text != source.others.end()) block.others.emplace_back(i, text->second);
          break;
        }
      }
      if (on) block.codes[i] = CellStore::kOne;
      data = data || block.codes[i] == CellStore::kOne || block.codes[i] == CellStore::kZero;
    }
    if (!data) {
      for (int k = 1; k <= 48; ++k) {
        std::uint8_t& code = block.codes[ColumnBlock::at(step, k)];
        if (code == CellStore::kEmpty) code = CellStore::kZero;
      }
    }
  }
  return block;
}

}  // namespace sequencer
