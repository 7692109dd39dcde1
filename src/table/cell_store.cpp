#include "table/cell_store.h"

#include <algorithm>
#include <array>

#include "table/cp1251.h"

namespace table {

namespace {

// The text of every code, and the code of every one-character text.
struct CodeTexts {
  std::array<std::string, 256> text;
  std::unordered_map<std::string, std::uint8_t> code;

  CodeTexts() {
    for (int b = 1; b < 256; ++b) {
      if (b == CellStore::kOther) continue;
      const char byte = static_cast<char>(b);
      text[static_cast<std::size_t>(b)] = cp1251ToUtf8(std::string_view(&byte, 1));
      code.emplace(text[static_cast<std::size_t>(b)], static_cast<std::uint8_t>(b));
    }
  }
};

const CodeTexts& codeTexts() {
  static const CodeTexts texts;
  return texts;
}

}  // namespace

CellStore::Code CellStore::codeOf(std::string_view text) {
  if (text.empty()) return kEmpty;
  if (text.size() == 1 && text[0] != kOther && static_cast<std::uint8_t>(text[0]) < 0x80) {
    return codeOfByte(text[0]);  // ASCII, the common case, without a look-up
  }
  if (text.size() > 3) return kOther;  // no character of the code page is longer
  const auto& codes = codeTexts().code;
  const auto found = codes.find(std::string(text));
  return found == codes.end() ? kOther : static_cast<Code>(found->second);
}

const std::string& CellStore::text(int col, int row) const {
  const Code c = code(col, row);
  if (c != kOther) return codeTexts().text[c];
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
  const Code c = codeOf(text);
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

std::size_t ColumnBlock::memoryBytes() const {
  std::size_t bytes = sizeof *this + codes.capacity();
  for (const auto& other : others) bytes += sizeof other + other.second.capacity();
  return bytes;
}

ColumnBlock CellStore::channels(int first, int count) const {
  ColumnBlock block(count);
  for (int c = 0; c < count; ++c) {
    for (int row = 1; row < kRows; ++row) {
      const Code code = this->code(first + c, row);
      const std::size_t i = ColumnBlock::at(c, row);
      block.codes[i] = code;
      if (code == kOther) block.others.emplace_back(i, text(first + c, row));
    }
  }
  return block;
}

void CellStore::setChannels(int first, const ColumnBlock& block) {
  auto other = block.others.begin();
  for (int c = 0; c < block.columns; ++c) {
    for (int row = 1; row < kRows; ++row) {
      const std::size_t i = ColumnBlock::at(c, row);
      const auto code = static_cast<Code>(block.codes[i]);
      if (code == kOther && other != block.others.end() && other->first == i) {
        setText(first + c, row, other->second);
        ++other;
      } else {
        setCode(first + c, row, code == kOther ? kEmpty : code);
      }
    }
  }
}

void CellStore::rotateChannels(int first, int middle, int last) {
  if (first < 0 || first >= middle || middle >= last) return;
  ensureColumn(last - 1);
  // The marker row keeps its cells: save them, rotate whole columns, put
  // them back.
  std::vector<std::uint8_t> marker(static_cast<std::size_t>(last - first));
  for (int c = first; c < last; ++c) marker[c - first] = codes_[index(c, 0)];
  const auto colBegin = [&](int c) {
    return codes_.begin() + static_cast<std::ptrdiff_t>(index(c, 0));
  };
  std::rotate(colBegin(first), colBegin(middle), colBegin(last));
  for (int c = first; c < last; ++c) codes_[index(c, 0)] = marker[c - first];
  if (others_.empty()) return;
  std::unordered_map<std::uint64_t, std::string> moved;
  for (auto& [k, text] : others_) {
    int col = static_cast<int>(k >> 8);
    const int row = static_cast<int>(k & 0xFF);
    if (row != 0 && col >= first && col < last) {
      col = col >= middle ? col - (middle - first) : col + (last - middle);
    }
    moved.emplace(key(col, row), std::move(text));
  }
  others_ = std::move(moved);
}

void CellStore::insertColumns(int at, int count) {
  const int stored = storedColumns();
  if (at < 0 || count <= 0 || at >= stored) return;  // nothing stored there to shift
  rotateChannels(at, stored, stored + count);
}

void CellStore::removeColumns(int at, int count) {
  const int stored = storedColumns();
  if (at < 0 || count <= 0 || at >= stored) return;
  const int end = std::min(at + count, stored);
  clearChannels(at, end - 1);
  rotateChannels(at, end, stored);
}

void CellStore::moveChannels(int from, int to) {
  if (from < to) {
    rotateChannels(from, from + 1, to + 1);
  } else if (from > to) {
    rotateChannels(to, from, from + 1);
  }
}

int CellStore::dataColumns() const {
  for (int col = storedColumns() - 1; col >= 0; --col) {
    for (int row = 1; row < kRows; ++row) {
      if (isData(col, row)) return col + 1;
    }
  }
  return 0;
}

std::size_t CellStore::memoryBytes() const {
  std::size_t bytes = codes_.capacity();
  for (const auto& entry : others_) bytes += sizeof entry + entry.second.capacity() + 16;
  return bytes;
}

}  // namespace table
