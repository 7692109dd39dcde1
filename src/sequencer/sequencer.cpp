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

Sequencer::Sequencer(sys::Backends backends, comport::TSyncInvoker* invoker)
    : SerialPort1(backends, invoker) {}

void Sequencer::notify(Change what, int index) {
  if (observer_) observer_->changed(what, index);
}

void Sequencer::setStatus(int panel, const std::string& text) {
  if (StatusText[panel] == text) return;
  StatusText[panel] = text;
  notify(Change::Status, panel);
}

void Sequencer::setIndicator(int channel, bool on) {
  if (IndicatorOn[channel - 1] == on) return;
  IndicatorOn[channel - 1] = on;
  notify(Change::Indicator, channel);
}

void Sequencer::setFixedColor(Rgb color) {
  if (FixedColor == color) return;
  FixedColor = color;
  notify(Change::FixedColor);
}

void Sequencer::setTimer1Enabled(bool enabled) {
  if (Timer1Enabled == enabled) return;
  Timer1Enabled = enabled;
  notify(Change::Timer1);
}

void Sequencer::setTimer1Interval(int interval) {
  // The same interval again changes nothing; another one restarts the period.
  if (Timer1Interval == interval) return;
  Timer1Interval = interval;
  notify(Change::Timer1);
}

void Sequencer::setColCount(int count) {
  ColCount = count;
  // A table that lost columns takes the current cell back with it, without
  // choosing a cell.
  if (CurrentCol > ColCount - 1) {
    CurrentCol = ColCount - 1;
    notify(Change::CurrentCell);
  }
  notify(Change::Columns);
}

void Sequencer::setProgress(int position, bool panelVisible) {
  if (ProgressPosition == position && Panel3Visible == panelVisible) return;
  ProgressPosition = position;
  Panel3Visible = panelVisible;
  notify(Change::Progress);
}

void Sequencer::setEdit1Text(const std::string& text) {
  if (Edit1Text == text) return;
  Edit1Text = text;
  notify(Change::Edit1);
}

void Sequencer::setComboText(const std::string& text) {
  if (ComboText == text) return;
  ComboText = text;
  notify(Change::ComboBox);
}

void Sequencer::setComboItems(std::vector<std::string> items) {
  ComboItems = std::move(items);
  notify(Change::ComboBox);
}

void Sequencer::setWindowWidth(int width) {
  WindowWidth = width;
}

void Sequencer::setCurrentCell(int col, int row) {
  col = std::clamp(col, 0, ColCount - 1);
  row = std::clamp(row, 1, kChannels);
  if (col == CurrentCol && row == CurrentRow) return;
  CurrentCol = col;
  CurrentRow = row;
  notify(Change::CurrentCell);
}

// ---------------------------------------------------------------- step tick

void Sequencer::Posilka() {
  const std::optional<TickPlan> plan = beginTick();
  if (!plan) return;
  const FrameResult result = sendNow(plan->frame);
  finishTick(*plan, result);
  if (result.error) throw comport::EComPort(*result.error);
}

std::optional<std::string> Sequencer::Timer1Tick() {
  try {
    Posilka();
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

std::optional<TickPlan> Sequencer::beginTick() {
  if (!SerialPort1.IsOpen()) return std::nullopt;

  const std::int32_t v = intervalValue(Edit1Text);
  setTimer1Interval(v < 1 ? 1 : v);

  if (StepRunning == 1) {
    ++StepColumn;
    setFixedColor(clRed);
    setStatus(1, text::kExchanging);
  } else if (StepRunning == 0) {
    setFixedColor(clYellow);
    setStatus(1, text::kWatching);
  }

  TickPlan plan;
  plan.markers.emplace_back(StepColumn, CellStore::kMarker);
  if (StepColumn != 0) plan.markers.emplace_back(StepColumn - 1, CellStore::kEmpty);
  if (StepColumn > ColCount - 2) {
    plan.markers.emplace_back(StepColumn, CellStore::kEmpty);
    StepColumn = 0;
    plan.markers.emplace_back(0, CellStore::kMarker);
  }
  plan.column = StepColumn;
  for (int k = 1; k <= kChannels; ++k) {
    plan.frame.bits[k - 1] = Cells.isOne(StepColumn, k) && ChannelEnabled[k - 1] == 1;
  }
  return plan;
}

void Sequencer::finishTick(const TickPlan& plan, const FrameResult& result) {
  // Only the marker cells written here are announced, so that a view redraws
  // two or three cells a step, not the whole table.
  for (const auto& [col, code] : plan.markers) {
    Cells.setCode(col, 0, code);
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
  FrameResult result = sendFrame(SerialPort1, outgoing(frame));
  sent(result);
  return result;
}

void Sequencer::SendAllOffFrame() {
  const FrameResult result = sendNow(Frame::allOff());
  if (result.error) throw comport::EComPort(*result.error);
}

// ---------------------------------------------------------------- run control

void Sequencer::BitBtn1Click() {
  if (!SerialPort1.IsOpen()) {
    SerialPort1.SetPort(ComboText);
    SerialPort1.SetBaudRate(comport::br9600);
    SerialPort1.OpenPort();
    linesUnsettled_ = true;
    SerialPort1.SetRTS(false);
    SerialPort1.SetDTR(false);
    linesUnsettled_ = false;
    setTimer1Enabled(true);
    ComboEnabled = false;
    notify(Change::ComboBox);
  }
  StepRunning = StepRunning == 0 ? 1 : 0;
}

void Sequencer::BitBtn2Click() {
  std::optional<FrameResult> allOff;
  if (beginStop()) allOff = sendNow(Frame::allOff());
  if (const auto message = finishStop(allOff)) throw comport::EComPort(*message);
}

bool Sequencer::beginStop() {
  if (!SerialPort1.IsOpen()) return false;
  setTimer1Enabled(false);
  StepRunning = 0;
  setFixedColor(clSilver);
  stopColumn_ = StepColumn;
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
    SerialPort1.ReleasePort();
    message = text::kReleased;
    return false;
  };
  if (allOff) {
    if (allOff->error && retryOrRelease(*allOff->error)) return message;
    Cells.setCode(stopColumn_, 0, CellStore::kEmpty);
    notify(Change::Cells, stopColumn_);
  }
  try {
    SerialPort1.ClosePort();
  } catch (const comport::EComPort& e) {
    if (retryOrRelease(e.what())) return message;
  }
  stopFailed_ = false;
  ComboEnabled = true;
  notify(Change::ComboBox);
  StepColumn = -1;
  for (int k = 1; k <= kChannels; ++k) setIndicator(k, false);
  return message;
}

// ---------------------------------------------------------------- housekeeping

bool Sequencer::columnEmpty(int col) const {
  for (int row = 1; row <= kChannels; ++row) {
    if (!Cells.isEmpty(col, row)) return false;
  }
  return true;
}

bool Sequencer::columnHasData(int col) const {
  for (int row = 1; row <= kChannels; ++row) {
    if (Cells.isData(col, row)) return true;
  }
  return false;
}

int Sequencer::firstLineLength() const {
  return TableLines.empty() ? 0 : static_cast<int>(TableLines.front().size());
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
  return buf + DecimalSeparator + fraction;
}

void Sequencer::Narahiv() {
  if (!Timer1Enabled) setStatus(1, text::kNoLink);

  if (ColCount >= 2 && columnEmpty(ColCount - 2)) setColCount(ColCount - 1);
  LastColumn = ColCount - 1;

  if (columnHasData(LastColumn)) {
    setColCount(ColCount + 1);
    const int length = firstLineLength();
    if (length > 10) LoadPercent += 100.0 / (length - 9);
    if (LoadPercent < 100) {
      setStatus(1, text::kLoading + formatPercent(LoadPercent) + " %");
    }
    if (revealPending_ && ColCount - 1 >= loadedColumns_) revealPending_ = false;
  }

  const std::int32_t v = intervalValue(Edit1Text);
  if (v != LastInterval) {
    LastInterval = v;
    setTimer1Interval(v);
    if (v < 1) {
      setTimer1Interval(1);
      setEdit1Text("1");
    }
  }

  const int width = WindowWidth - 60;
  if (GridWidth != width) {
    GridWidth = width;
    notify(Change::GridWidth);
  }

  if (labels_) {
    if (Timer1Enabled) {
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
    setProgress(ProgressPosition, false);
    return;
  }
  const int n = length - 9;
  // Rounded to nearest with halves to even (the default rounding mode).
  const long increment = std::lrint(static_cast<double>(kProgressMax) / n);
  const long sum = static_cast<long>(ProgressPosition) + increment;
  const int position = static_cast<int>(std::min<long>(sum, kProgressMax));
  setProgress(position, Panel3Visible && position != kProgressMax);
}

void Sequencer::setLoadedColumns(int columns) {
  loadedColumns_ = columns;
  revealPending_ = columns > ColCount - 1;
}

int Sequencer::columnsToSave() const {
  const int shown = ColCount - 1;
  return std::max({shown, revealPending_ ? loadedColumns_ : 0, Cells.dataColumns()});
}

// ---------------------------------------------------------------- editing

void Sequencer::StringGrid1Click() {
  setStatus(0, text::kPosition + std::to_string(CurrentCol + 1));
  const std::string& t = Cells.text(CurrentCol, CurrentRow);
  setCell(CurrentCol, CurrentRow, (t.empty() || t == "0") ? "1" : "");
}

bool Sequencer::StringGrid1KeyPress(char key) {
  if (key != '\r') return false;
  if (CurrentCol >= ColCount - 1) return false;
  setCurrentCell(CurrentCol + 1, CurrentRow);
  StringGrid1Click();
  return true;
}

void Sequencer::ClearTable() {
  History.clearChannels(Cells, 0, LastColumn);
  StepColumn = 0;
  notify(Change::Cells, -1);
}

void Sequencer::setCell(int col, int row, const std::string& text) {
  if (Cells.text(col, row) == text) return;
  History.setCell(Cells, col, row, text);
  notify(Change::Cells, col);
}

void Sequencer::typeCell(int col, int row, const std::string& text) {
  if (Cells.text(col, row) == text) return;
  History.typeCell(Cells, col, row, text);
  notify(Change::Cells, col);
}

void Sequencer::endTyping() {
  History.endTyping();
}

void Sequencer::moveColumn(int from, int to) {
  if (from == to) return;
  Cells.moveColumn(from, to);
  History.columnMoved(from, to);
  notify(Change::Cells, -1);
}

void Sequencer::columnsShifted(int at, int count) {
  // Loaded columns not shown yet move with the edit.
  if (revealPending_ && at < loadedColumns_) loadedColumns_ = std::max(at, loadedColumns_ + count);
  notify(Change::Cells, -1);
}

void Sequencer::insertColumns(int at, ColumnBlock block) {
  const int count = block.columns;
  History.insertColumns(Cells, at, std::move(block));
  columnsShifted(at, count);
}

void Sequencer::copyColumn(int col) {
  copied_ = Cells.channels(col, 1);
}

void Sequencer::cutColumn(int col) {
  copyColumn(col);
  deleteColumn(col);
}

void Sequencer::pasteColumn(int col) {
  if (hasCopiedColumn()) insertColumns(col, copied_);
}

void Sequencer::duplicateColumn(int col) {
  insertColumns(col, Cells.channels(col, 1));
}

void Sequencer::insertEmptyColumn(int col) {
  insertColumns(col, ColumnBlock(1));
}

void Sequencer::deleteColumn(int col) {
  History.removeColumns(Cells, col, 1);
  columnsShifted(col, -1);
}

void Sequencer::insertPattern(int col, const Pattern& pattern) {
  insertColumns(col, MakePattern(pattern, Cells.channels(col, 1)));
}

std::optional<int> Sequencer::undo() {
  const auto effect = History.undo(Cells);
  if (!effect) return std::nullopt;
  columnsShifted(effect->column, effect->inserted);
  return effect->column;
}

std::optional<int> Sequencer::redo() {
  const auto effect = History.redo(Cells);
  if (!effect) return std::nullopt;
  columnsShifted(effect->column, effect->inserted);
  return effect->column;
}

}  // namespace sequencer
