#include "sequencer/edit_history.h"

#include <algorithm>
#include <utility>

using table::CellStore;
using table::ColumnBlock;

namespace sequencer {

namespace {

bool blockIsEmpty(const ColumnBlock& block) {
  return std::all_of(block.codes.begin(), block.codes.end(),
                     [](std::uint8_t code) { return code == CellStore::kEmpty; });
}

}  // namespace

std::size_t EditHistory::bytesOf(const Entry& entry) {
  std::size_t bytes = sizeof entry;
  if (const Payload* p = entry.payload.get()) {
    bytes += sizeof *p - sizeof p->block + p->before.capacity() + p->after.capacity() +
             p->block.memoryBytes();
  }
  return bytes;
}

void EditHistory::apply(CellStore& cells, const Entry& entry, bool forward) {
  const int columns = entry.payload ? entry.payload->block.columns : 0;
  switch (entry.kind) {
    case Entry::Cell: {
      const auto code = static_cast<CellStore::Code>(forward ? entry.after : entry.before);
      if (code == CellStore::kOther) {
        cells.setText(entry.col, entry.row, forward ? entry.payload->after : entry.payload->before);
      } else {
        cells.setCode(entry.col, entry.row, code);
      }
      break;
    }
    case Entry::Move:
      if (forward) {
        cells.moveChannels(entry.col, entry.to);
      } else {
        cells.moveChannels(entry.to, entry.col);
      }
      break;
    case Entry::Insert:
    case Entry::Remove:
      if (forward == (entry.kind == Entry::Insert)) {
        cells.insertColumns(entry.col, columns);
        cells.setChannels(entry.col, entry.payload->block);
      } else {
        cells.removeColumns(entry.col, columns);
      }
      break;
    case Entry::Clear:
      if (forward) {
        cells.clearChannels(entry.col, entry.col + columns - 1);
      } else {
        cells.setChannels(entry.col, entry.payload->block);
      }
      break;
  }
}

EditHistory::Effect EditHistory::effectOf(const Entry& entry, bool forward) {
  const int columns = entry.payload ? entry.payload->block.columns : 0;
  switch (entry.kind) {
    case Entry::Move: return {forward ? entry.to : entry.col, 0};
    case Entry::Insert: return {entry.col, forward ? columns : -columns};
    case Entry::Remove: return {entry.col, forward ? -columns : columns};
    case Entry::Cell:
    case Entry::Clear: break;
  }
  return {entry.col, 0};
}

EditHistory::Entry EditHistory::cellEntry(const CellStore& cells, int col, int row,
                                          std::string_view text) {
  Entry entry;
  entry.kind = Entry::Cell;
  entry.col = col;
  entry.row = static_cast<std::uint8_t>(row);
  entry.before = cells.code(col, row);
  entry.after = CellStore::codeOf(text);
  if (entry.before == CellStore::kOther || entry.after == CellStore::kOther) {
    entry.payload = std::make_unique<Payload>();
    if (entry.before == CellStore::kOther) entry.payload->before = cells.text(col, row);
    if (entry.after == CellStore::kOther) entry.payload->after = std::string(text);
  }
  return entry;
}

void EditHistory::push(CellStore& cells, Entry entry) {
  apply(cells, entry, true);
  record(std::move(entry));
}

void EditHistory::record(Entry entry) {
  // A new change ends what could be made again.
  while (entries_.size() > done_) {
    bytes_ -= bytesOf(entries_.back());
    entries_.pop_back();
  }
  if (!entries_.empty()) entries_.back().typing = false;
  bytes_ += bytesOf(entry);
  entries_.push_back(std::move(entry));
  done_ = entries_.size();
  // The newest step stays, however big: the last clear of a huge table can
  // always be taken back.
  while (bytes_ > limitBytes_ && entries_.size() > 1) dropFront();
}

void EditHistory::dropFront() {
  bytes_ -= bytesOf(entries_.front());
  entries_.pop_front();
  if (done_ > 0) --done_;
}

void EditHistory::setCell(CellStore& cells, int col, int row, std::string_view text) {
  if (cells.text(col, row) == text) return;
  push(cells, cellEntry(cells, col, row, text));
}

void EditHistory::typeCell(CellStore& cells, int col, int row, std::string_view text) {
  if (cells.text(col, row) == text) return;
  if (done_ == entries_.size() && !entries_.empty()) {
    Entry& last = entries_.back();
    if (last.kind == Entry::Cell && last.typing && last.col == col && last.row == row) {
      // The same editing goes on: the step now ends at this text.
      Entry merged = cellEntry(cells, col, row, text);
      merged.before = last.before;
      if (last.before == CellStore::kOther) {
        if (!merged.payload) merged.payload = std::make_unique<Payload>();
        merged.payload->before = last.payload->before;
      }
      merged.typing = true;
      apply(cells, merged, true);
      bytes_ -= bytesOf(last);
      const bool unchanged =
          merged.before == merged.after &&
          (merged.before != CellStore::kOther || merged.payload->before == merged.payload->after);
      if (unchanged) {
        // Typed back to where it started: nothing left to take back.
        entries_.pop_back();
        --done_;
      } else {
        last = std::move(merged);
        bytes_ += bytesOf(last);
      }
      return;
    }
  }
  Entry entry = cellEntry(cells, col, row, text);
  entry.typing = true;
  push(cells, std::move(entry));
}

void EditHistory::endTyping() {
  if (!entries_.empty()) entries_.back().typing = false;
}

void EditHistory::insertColumns(CellStore& cells, int at, ColumnBlock block) {
  if (block.columns <= 0) return;
  Entry entry;
  entry.kind = Entry::Insert;
  entry.col = at;
  entry.payload = std::make_unique<Payload>();
  entry.payload->block = std::move(block);
  push(cells, std::move(entry));
}

void EditHistory::removeColumns(CellStore& cells, int at, int count) {
  if (count <= 0) return;
  Entry entry;
  entry.kind = Entry::Remove;
  entry.col = at;
  entry.payload = std::make_unique<Payload>();
  entry.payload->block = cells.channels(at, count);
  push(cells, std::move(entry));
}

void EditHistory::clearChannels(CellStore& cells, int first, int last) {
  if (last < first) return;
  ColumnBlock before = cells.channels(first, last - first + 1);
  if (blockIsEmpty(before)) return;  // nothing to clear, nothing to take back
  Entry entry;
  entry.kind = Entry::Clear;
  entry.col = first;
  entry.payload = std::make_unique<Payload>();
  entry.payload->block = std::move(before);
  push(cells, std::move(entry));
}

void EditHistory::columnMoved(int from, int to) {
  if (from == to) return;
  Entry entry;
  entry.kind = Entry::Move;
  entry.col = from;
  entry.to = to;
  record(std::move(entry));
}

std::optional<EditHistory::Effect> EditHistory::undo(CellStore& cells) {
  if (!canUndo()) return std::nullopt;
  Entry& entry = entries_[--done_];
  entry.typing = false;
  apply(cells, entry, false);
  return effectOf(entry, false);
}

std::optional<EditHistory::Effect> EditHistory::redo(CellStore& cells) {
  if (!canRedo()) return std::nullopt;
  Entry& entry = entries_[done_++];
  entry.typing = false;
  apply(cells, entry, true);
  return effectOf(entry, true);
}

}  // namespace sequencer
