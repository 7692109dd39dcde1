#include "sequencer/cell_store.h"

#include <algorithm>
#include <array>

namespace sequencer {

namespace {

const std::array<std::string, 4> kPlainTexts = {"", "0", "1", "v"};

CellStore::Code plainCode(std::string_view text) {
  if (text.empty()) return CellStore::kEmpty;
  if (text == "0") return CellStore::kZero;
  if (text == "1") return CellStore::kOne;
  if (text == "v") return CellStore::kMarker;
  return CellStore::kOther;
}

}  // namespace

const std::string& CellStore::text(int col, int row) const {
  const Code c = code(col, row);
  if (c != kOther) return kPlainTexts[c];
  return others_.at(key(col, row));
}

void CellStore::ensureColumn(int col) {
  const std::size_t needed = static_cast<std::size_t>(col + 1) * kRows;
  if (codes_.size() < needed) {
    // Grow geometrically, so that filling column after column stays linear.
    if (codes_.capacity() < needed) codes_.reserve(std::max(needed, codes_.capacity() * 2));
    codes_.resize(needed, kEmpty);
  }
}

void CellStore::reserveColumns(int columns) {
  codes_.reserve(static_cast<std::size_t>(columns) * kRows);
}

void CellStore::setCodeSlow(int col, int row, Code c) {
  if (col < 0 || row < 0 || row >= kRows) return;
  const std::size_t i = index(col, row);
  if (i >= codes_.size()) {
    if (c == kEmpty) return;
    ensureColumn(col);
  }
  if (codes_[i] == kOther) others_.erase(key(col, row));
  codes_[i] = c;
}

void CellStore::setText(int col, int row, std::string_view text) {
  const Code c = plainCode(text);
  if (c != kOther) {
    setCode(col, row, c);
    return;
  }
  if (col < 0 || row < 0 || row >= kRows) return;
  ensureColumn(col);
  codes_[index(col, row)] = kOther;
  others_[key(col, row)] = std::string(text);
}

void CellStore::moveColumn(int from, int to) {
  if (from == to || from < 0 || to < 0) return;
  ensureColumn(std::max(from, to));
  auto begin = codes_.begin();
  const auto colBegin = [&](int c) { return begin + static_cast<std::ptrdiff_t>(index(c, 0)); };
  if (from < to) {
    std::rotate(colBegin(from), colBegin(from + 1), colBegin(to + 1));
  } else {
    std::rotate(colBegin(to), colBegin(from), colBegin(from + 1));
  }
  if (others_.empty()) return;
  std::unordered_map<std::uint64_t, std::string> moved;
  for (auto& [k, text] : others_) {
    int col = static_cast<int>(k >> 8);
    const int row = static_cast<int>(k & 0xFF);
    if (col == from) {
      col = to;
    } else if (from < to && col > from && col <= to) {
      --col;
    } else if (from > to && col >= to && col < from) {
      ++col;
    }
    moved.emplace(key(col, row), std::move(text));
  }
  others_ = std::move(moved);
}

void CellStore::clearChannels(int first, int last) {
  for (int col = std::max(first, 0); col <= last && col < storedColumns(); ++col) {
    for (int row = 1; row < kRows; ++row) setCode(col, row, kEmpty);
  }
}

std::size_t CellStore::memoryBytes() const {
  std::size_t bytes = codes_.capacity();
  for (const auto& entry : others_) bytes += sizeof entry + entry.second.capacity() + 16;
  return bytes;
}

}  // namespace sequencer
