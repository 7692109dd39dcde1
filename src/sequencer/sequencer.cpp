#include "sequencer/sequencer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "table/interval.h"

using table::CellStore;
using table::clRed;
using table::clSilver;
using table::clYellow;
using table::ColumnBlock;
using table::intervalValue;
using table::kChannels;
using table::Rgb;

namespace sequencer {

Sequencer::Sequencer(sys::Backends backends, comport::SyncInvoker* invoker)
    : serialPort1_(backends, invoker) {}

void Sequencer::notify(Change what, int index) {
  if (observer_) observer_->changed(what, index);
}

void Sequencer::setStatus(int panel, const std::string& text) {
  if (statusText_[panel] == text) return;
  statusText_[panel] = text;
  notify(Change::Status, panel);
}

void Sequencer::setIndicator(int channel, bool on) {
  if (indicatorOn_[channel - 1] == on) return;
  indicatorOn_[channel - 1] = on;
  notify(Change::Indicator, channel);
}

void Sequencer::setFixedColor(Rgb color) {
  if (fixedColor_ == color) return;
  fixedColor_ = color;
  notify(Change::FixedColor);
}

void Sequencer::setTimer1Enabled(bool enabled) {
  if (timer1Enabled_ == enabled) return;
  timer1Enabled_ = enabled;
  notify(Change::Timer1);
}

void Sequencer::setTimer1Interval(int interval) {
  // The same interval again changes nothing; another one restarts the period.
  if (timer1Interval_ == interval) return;
  timer1Interval_ = interval;
  notify(Change::Timer1);
}

void Sequencer::setComboEnabled(bool enabled) {
  // Announced even when unchanged: the port has been opened or closed.
  comboEnabled_ = enabled;
  notify(Change::ComboBox);
}

void Sequencer::setColCount(int count) {
  colCount_ = count;
  // A table that lost columns takes the current cell back with it, without
  // choosing a cell.
  if (currentCol_ > colCount_ - 1) {
    currentCol_ = colCount_ - 1;
    notify(Change::CurrentCell);
  }
  notify(Change::Columns);
}

void Sequencer::setProgress(int position, bool panelVisible) {
  if (progressPosition_ == position && panel3Visible_ == panelVisible) return;
  progressPosition_ = position;
  panel3Visible_ = panelVisible;
  notify(Change::Progress);
}

void Sequencer::setEdit1Text(const std::string& text) {
  if (edit1Text_ == text) return;
  edit1Text_ = text;
  notify(Change::Edit1);
}

void Sequencer::setComboText(const std::string& text) {
  if (comboText_ == text) return;
  comboText_ = text;
  notify(Change::ComboBox);
}

void Sequencer::setComboItems(std::vector<std::string> items) {
  comboItems_ = std::move(items);
  notify(Change::ComboBox);
}

void Sequencer::setWindowWidth(int width) {
  windowWidth_ = width;
}

void Sequencer::setChannelEnabled(const std::array<std::int32_t, kChannels>& flags) {
  channelEnabled_ = flags;
}

void Sequencer::resetRun() {
  stepColumn_ = -1;
  stepRunning_ = 0;
  loadPercent_ = 0.0;
}

void Sequencer::loadTable(const TableLoad& load) {
  std::string interval = edit1Text_;
  const int columns = load(tableLines_, cells_, interval);
  notify(Change::Cells, -1);
  setEdit1Text(interval);
  setLoadedColumns(columns);
}

void Sequencer::saveTable(const TableSave& save) {
  save(tableLines_, cells_, columnsToSave(), edit1Text_);
}

void Sequencer::setCurrentCell(int col, int row) {
  col = std::clamp(col, 0, colCount_ - 1);
  row = std::clamp(row, 1, kChannels);
  if (col == currentCol_ && row == currentRow_) return;
  currentCol_ = col;
  currentRow_ = row;
  notify(Change::CurrentCell);
}

// ---------------------------------------------------------------- step tick

void Sequencer::stepTick() {
  const std::optional<TickPlan> plan = beginTick();
  if (!plan) return;
  const FrameResult result = sendNow(plan->frame);
  finishTick(*plan, result);
  if (result.error) throw comport::EComPort(*result.error);
}

std::optional<TickPlan> Sequencer::beginTick() {
  if (!serialPort1_.IsOpen()) return std::nullopt;

  const std::int32_t v = intervalValue(edit1Text_);
  setTimer1Interval(v < 1 ? 1 : v);

  if (stepRunning_ == 1) {
    ++stepColumn_;
    setFixedColor(clRed);
    setStatus(1, text::kExchanging);
  } else if (stepRunning_ == 0) {
    setFixedColor(clYellow);
    setStatus(1, text::kWatching);
  }

  TickPlan plan;
  plan.markers.emplace_back(stepColumn_, CellStore::kMarker);
  if (stepColumn_ != 0) plan.markers.emplace_back(stepColumn_ - 1, CellStore::kEmpty);
  if (stepColumn_ > colCount_ - 2) {
    plan.markers.emplace_back(stepColumn_, CellStore::kEmpty);
    stepColumn_ = 0;
    plan.markers.emplace_back(0, CellStore::kMarker);
  }
  plan.column = stepColumn_;
  for (int k = 1; k <= kChannels; ++k) {
    plan.frame.bits[k - 1] = cells_.isOne(stepColumn_, k) && channelEnabled_[k - 1] == 1;
  }
  return plan;
}

void Sequencer::finishTick(const TickPlan& plan, const FrameResult& result) {
  // Only the marker cells written here are announced, so that a view redraws
  // two or three cells a step, not the whole table.
  for (const auto& [col, code] : plan.markers) {
    cells_.setCode(col, 0, code);
    notify(Change::Marker, col);
  }
  setStatus(0, text::kPosition + std::to_string(plan.column + 1));
  for (int k = 1; k <= result.bitsSent; ++k) setIndicator(k, plan.frame.bits[k - 1]);
}

Frame Sequencer::outgoing(Frame frame) {
  if (frame.kind == Frame::Kind::Step) frame.settleClock = linesUnsettled_;
  linesUnsettled_ = true;
  return frame;
}

void Sequencer::sent(const FrameResult& result) {
  // Frames come back in the order they went out: the last one leaves the lines.
  linesUnsettled_ = result.error.has_value();
}

FrameResult Sequencer::sendNow(const Frame& frame) {
  FrameResult result = sendFrame(serialPort1_, outgoing(frame));
  sent(result);
  return result;
}

void Sequencer::sendAllOffFrame() {
  const FrameResult result = sendNow(Frame::allOff());
  if (result.error) throw comport::EComPort(*result.error);
}

// ---------------------------------------------------------------- run control

void Sequencer::startOrPause() {
  if (!serialPort1_.IsOpen()) {
    serialPort1_.setPort(comboText_);
    serialPort1_.setBaudRate(comport::br9600);
    serialPort1_.OpenPort();
    linesUnsettled_ = true;
    serialPort1_.SetRTS(false);
    serialPort1_.SetDTR(false);
    linesUnsettled_ = false;
    setTimer1Enabled(true);
    setComboEnabled(false);
  }
  stepRunning_ = stepRunning_ == 0 ? 1 : 0;
}

void Sequencer::stop() {
  std::optional<FrameResult> allOff;
  if (beginStop()) allOff = sendNow(Frame::allOff());
  if (const auto message = finishStop(allOff)) throw comport::EComPort(*message);
}

bool Sequencer::beginStop() {
  if (!serialPort1_.IsOpen()) return false;
  setTimer1Enabled(false);
  stepRunning_ = 0;
  setFixedColor(clSilver);
  stopColumn_ = stepColumn_;
  return true;
}

std::optional<std::string> Sequencer::finishStop(const std::optional<FrameResult>& allOff) {
  // A stop that fails leaves the port open so that the next stop can try the
  // whole sequence again. When that one fails too, the port no longer
  // answers: it is released, or the program could never be stopped; the user
  // is told that the outputs may still be on.
  std::optional<std::string> message;
  const auto retryOrRelease = [&](const std::string& error) {
    if (!stopFailed_) {
      stopFailed_ = true;
      message = error;
      return true;
    }
    serialPort1_.releasePort();
    message = text::kReleased;
    return false;
  };
  if (allOff) {
    if (allOff->error && retryOrRelease(*allOff->error)) return message;
    cells_.setCode(stopColumn_, 0, CellStore::kEmpty);
    notify(Change::Cells, stopColumn_);
  }
  try {
    serialPort1_.ClosePort();
  } catch (const comport::EComPort& e) {
    if (retryOrRelease(e.what())) return message;
  }
  stopFailed_ = false;
  setComboEnabled(true);
  stepColumn_ = -1;
  for (int k = 1; k <= kChannels; ++k) setIndicator(k, false);
  return message;
}

// ---------------------------------------------------------------- housekeeping

bool Sequencer::columnEmpty(int col) const {
  for (int row = 1; row <= kChannels; ++row) {
    if (!cells_.isEmpty(col, row)) return false;
  }
  return true;
}

bool Sequencer::columnHasData(int col) const {
  for (int row = 1; row <= kChannels; ++row) {
    if (cells_.isData(col, row)) return true;
  }
  return false;
}

int Sequencer::firstLineLength() const {
  return static_cast<int>(tableLines_.firstLineLength);
}

std::string Sequencer::formatPercent(double value) const {
  // Halves round away from zero (3.125 is "03.13"). A double times 100 is
  // exact in the 64-bit mantissa of long double, so a true half stays one.
  const long double hundredths = std::round(static_cast<long double>(value) * 100.0L);
  const long long whole = static_cast<long long>(std::fabs(hundredths)) / 100;
  const long long cents = static_cast<long long>(std::fabs(hundredths)) % 100;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%02lld", hundredths < 0 ? "-" : "", whole);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%02lld", cents);
  return buf + decimalSeparator_ + fraction;
}

void Sequencer::housekeepingTick() {
  if (!timer1Enabled_) setStatus(1, text::kNoLink);

  if (colCount_ >= 2 && columnEmpty(colCount_ - 2)) setColCount(colCount_ - 1);
  lastColumn_ = colCount_ - 1;

  if (columnHasData(lastColumn_)) {
    setColCount(colCount_ + 1);
    const int length = firstLineLength();
    if (length > 10) loadPercent_ += 100.0 / (length - 9);
    if (loadPercent_ < 100) {
      setStatus(1, text::kLoading + formatPercent(loadPercent_) + " %");
    }
    if (revealPending_ && colCount_ - 1 >= loadedColumns_) revealPending_ = false;
  }

  const std::int32_t v = intervalValue(edit1Text_);
  if (v != lastInterval_) {
    lastInterval_ = v;
    setTimer1Interval(v);
    if (v < 1) {
      setTimer1Interval(1);
      setEdit1Text("1");
    }
  }

  notify(Change::GridWidth);

  if (labels_) {
    if (timer1Enabled_) {
      labels_->indikator();
    } else {
      labels_->showNoLink();
    }
  }

  progress();
}

void Sequencer::progress() {
  const int length = firstLineLength();
  if (length <= 10) {
    setProgress(progressPosition_, false);
    return;
  }
  const int n = length - 9;
  // Rounded to nearest with halves to even (the default rounding mode).
  const long increment = std::lrint(static_cast<double>(kProgressMax) / n);
  const long sum = static_cast<long>(progressPosition_) + increment;
  const int position = static_cast<int>(std::min<long>(sum, kProgressMax));
  setProgress(position, panel3Visible_ && position != kProgressMax);
}

void Sequencer::setLoadedColumns(int columns) {
  loadedColumns_ = columns;
  revealPending_ = columns > colCount_ - 1;
}

int Sequencer::columnsToSave() const {
  const int shown = colCount_ - 1;
  return std::max({shown, revealPending_ ? loadedColumns_ : 0, cells_.dataColumns()});
}

// ---------------------------------------------------------------- editing

void Sequencer::gridClick() {
  setStatus(0, text::kPosition + std::to_string(currentCol_ + 1));
  const std::string& t = cells_.text(currentCol_, currentRow_);
  setCell(currentCol_, currentRow_, (t.empty() || t == "0") ? "1" : "");
}

bool Sequencer::gridKeyPress(char key) {
  if (key != '\r') return false;
  if (currentCol_ >= colCount_ - 1) return false;
  setCurrentCell(currentCol_ + 1, currentRow_);
  gridClick();
  return true;
}

void Sequencer::clearTable() {
  history_.clearChannels(cells_, 0, lastColumn_);
  stepColumn_ = 0;
  notify(Change::Cells, -1);
}

void Sequencer::setCell(int col, int row, const std::string& text) {
  if (cells_.text(col, row) == text) return;
  history_.setCell(cells_, col, row, text);
  notify(Change::Cells, col);
}

void Sequencer::typeCell(int col, int row, const std::string& text) {
  if (cells_.text(col, row) == text) return;
  history_.typeCell(cells_, col, row, text);
  notify(Change::Cells, col);
}

void Sequencer::endTyping() {
  history_.endTyping();
}

void Sequencer::moveColumn(int from, int to) {
  if (from == to) return;
  cells_.moveColumn(from, to);
  history_.columnMoved(from, to);
  notify(Change::Cells, -1);
}

void Sequencer::columnsShifted(int at, int count) {
  // Loaded columns not shown yet move with the edit.
  if (revealPending_ && at < loadedColumns_) loadedColumns_ = std::max(at, loadedColumns_ + count);
  notify(Change::Cells, -1);
}

void Sequencer::insertColumns(int at, ColumnBlock block) {
  const int count = block.columns;
  history_.insertColumns(cells_, at, std::move(block));
  columnsShifted(at, count);
}

void Sequencer::copyColumn(int col) {
  copied_ = cells_.channels(col, 1);
}

void Sequencer::cutColumn(int col) {
  copyColumn(col);
  deleteColumn(col);
}

void Sequencer::pasteColumn(int col) {
  if (hasCopiedColumn()) insertColumns(col, copied_);
}

void Sequencer::duplicateColumn(int col) {
  insertColumns(col, cells_.channels(col, 1));
}

void Sequencer::insertEmptyColumn(int col) {
  insertColumns(col, ColumnBlock(1));
}

void Sequencer::deleteColumn(int col) {
  history_.removeColumns(cells_, col, 1);
  columnsShifted(col, -1);
}

void Sequencer::insertPattern(int col, const Pattern& pattern) {
  insertColumns(col, makePattern(pattern, cells_.channels(col, 1)));
}

std::optional<int> Sequencer::undo() {
  const auto effect = history_.undo(cells_);
  if (!effect) return std::nullopt;
  columnsShifted(effect->column, effect->inserted);
  return effect->column;
}

std::optional<int> Sequencer::redo() {
  const auto effect = history_.redo(cells_);
  if (!effect) return std::nullopt;
  columnsShifted(effect->column, effect->inserted);
  return effect->column;
}

}  // namespace sequencer
