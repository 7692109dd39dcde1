// The main window's state and its sequencing handlers, without any widgets:
// the step tick that plays the table on the board, the housekeeping tick that
// sizes the table and applies the interval, run control and the table's own
// editing rules. The window shows this state and forwards its events here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comport/serial_port.h"
#include "sequencer/edit_history.h"
#include "sequencer/frame.h"
#include "sequencer/patterns.h"
#include "storage/table_file.h"
#include "table/cell_store.h"
#include "table/colors.h"

namespace sequencer {

inline constexpr int kProgressMax = 1000000;

// Texts of the status bar.
namespace text {
inline constexpr const char* kPosition = "Позиция ";
inline constexpr const char* kExchanging = "Обмен данными с драйвером";
inline constexpr const char* kWatching = "Наблюдение за состоянием драйвера";
inline constexpr const char* kNoLink = "Порт отключен - связи нет";
inline constexpr const char* kLoading = "Загрузка данных из файла  ";
// A stop that gave up on a port that does not answer.
inline constexpr const char* kReleased =
    "Порт не отвечает и закрыт; выходы драйвера могли остаться включёнными";
}  // namespace text

// What changed, for whoever shows the state.
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

// The matching dialog's output-state labels, which the housekeeping tick keeps
// current.
class StateLabels {
 public:
  virtual ~StateLabels() = default;
  virtual void indikator() = 0;   // paint the labels from ChannelEnabled
  virtual void showNoLink() = 0;  // "нет св" on grey: the step timer is off
};

// A step the tick has taken: the frame it sends, and what the window shows of
// it once the frame has gone out (or failed).
struct TickPlan {
  Frame frame;
  int column = 0;  // StepColumn of the step
  // The marker row's writes, in order.
  std::vector<std::pair<int, table::CellStore::Code>> markers;
};

class Sequencer {
 public:
  Sequencer(sys::Backends backends, comport::SyncInvoker* invoker);

  void setObserver(Observer* observer) { observer_ = observer; }
  void setStateLabels(StateLabels* labels) { labels_ = labels; }

  comport::TSerialPort& SerialPort1() { return serialPort1_; }
  const comport::TSerialPort& SerialPort1() const { return serialPort1_; }

  // Run state.
  std::int32_t StepRunning() const { return stepRunning_; }
  std::int32_t StepColumn() const { return stepColumn_; }
  // [k - 1] for channel k.
  const std::array<std::int32_t, table::kChannels>& ChannelEnabled() const {
    return channelEnabled_;
  }
  void setChannelEnabled(const std::array<std::int32_t, table::kChannels>& flags);
  // Start-up: not running, before the first step, nothing loaded yet.
  void resetRun();

  // Housekeeping state.
  std::int32_t LastColumn() const { return lastColumn_; }
  double LoadPercent() const { return loadPercent_; }
  std::int32_t LastInterval() const { return lastInterval_; }
  // What is kept of the table file's lines as loaded (or last saved): line
  // 1's length and the lines from 49 on, not the channel lines' bytes.
  const storage::KeptLines& TableLines() const { return tableLines_; }

  // What the widgets show.
  const table::CellStore& cells() const { return cells_; }
  int colCount() const { return colCount_; }
  table::Rgb fixedColor() const { return fixedColor_; }
  int currentCol() const { return currentCol_; }
  int currentRow() const { return currentRow_; }
  const std::string& edit1Text() const { return edit1Text_; }
  const std::vector<std::string>& comboItems() const { return comboItems_; }
  const std::string& comboText() const { return comboText_; }
  bool comboEnabled() const { return comboEnabled_; }
  bool timer1Enabled() const { return timer1Enabled_; }
  int timer1Interval() const { return timer1Interval_; }
  const std::array<std::string, 3>& statusText() const { return statusText_; }
  // [k - 1] for channel k: lime when true, green when false.
  const std::array<bool, table::kChannels>& indicatorOn() const { return indicatorOn_; }
  int progressPosition() const { return progressPosition_; }
  bool panel3Visible() const { return panel3Visible_; }
  int windowWidth() const { return windowWidth_; }
  // The table follows the window's width at the housekeeping tick.
  int gridWidth() const { return windowWidth_ - 60; }

  // The step timer's tick, the housekeeping timer's tick and the load
  // progress it shows.
  void stepTick();
  void housekeepingTick();
  void progress();
  // Run control: start (opening the port) or pause and resume; stop.
  void startOrPause();
  void stop();
  // A click on the table toggles the current cell; Enter moves one step
  // right and toggles there. Returns true when Enter moved the current cell.
  void gridClick();
  bool gridKeyPress(char key);
  void clearTable();  // "Да" of the clear-table confirmation
  void sendAllOffFrame();

  // The step tick and the stop in two halves around their frame, so that the
  // frame can go out on another thread: the first half decides and builds it
  // from one consistent set of cells and flags, the second shows what went
  // out. stepTick and stop run both halves with the frame sent at once.
  std::optional<TickPlan> beginTick();
  void finishTick(const TickPlan& plan, const FrameResult& result);
  // True when the port is open and the all-off frame must go out first.
  bool beginStop();
  // `allOff`: how the all-off frame went, when one was sent. Returns the
  // message for the user, if the stop has one.
  std::optional<std::string> finishStop(const std::optional<FrameResult>& allOff);

  // Every frame passes these on its way out and back.
  Frame outgoing(Frame frame);
  void sent(const FrameResult& result);

  // Input from the widgets.
  void setEdit1Text(const std::string& text);
  void setComboText(const std::string& text);
  void setComboItems(std::vector<std::string> items);
  void setWindowWidth(int width);
  void setDecimalSeparator(std::string separator) { decimalSeparator_ = std::move(separator); }
  // Moves the current cell (row 1 … 48, column 0 … colCount() − 1).
  void setCurrentCell(int col, int row);

  // The table file's side, which fills and writes what the file holds: its
  // lines, the cells and the interval text. `load` returns the number of
  // loaded steps, which the housekeeping tick then reveals; `save` may bring
  // the lines up to date. What either has done before it throws stays.
  using TableLoad = std::function<int(storage::KeptLines& lines, table::CellStore& cells,
                                      std::string& edit1Text)>;
  using TableSave = std::function<void(storage::KeptLines& lines, const table::CellStore& cells,
                                       int columnsToSave, const std::string& edit1Text)>;
  void loadTable(const TableLoad& load);
  void saveTable(const TableSave& save);

  // Editing. Every change to the channel cells is one step of the history;
  // none touches the marker row, the run state or the files. The shown
  // column count stays the housekeeping tick's to change.
  const EditHistory& history() const { return history_; }
  void setCell(int col, int row, const std::string& text);
  // The in-place editor's text, as it is typed; endTyping() when it closes.
  void typeCell(int col, int row, const std::string& text);
  void endTyping();
  void moveColumn(int from, int to);  // a column dragged by its header
  // Edits of the step in column `col`. Paste, the empty step and the
  // patterns go in before it; cut and delete shift the later steps left.
  void copyColumn(int col);
  void cutColumn(int col);
  void pasteColumn(int col);
  void duplicateColumn(int col);
  void insertEmptyColumn(int col);
  void deleteColumn(int col);
  void insertPattern(int col, const Pattern& pattern);
  bool hasCopiedColumn() const { return copied_.columns > 0; }
  // The column the step changed, for the view to show; nothing when there
  // was nothing to undo or redo.
  std::optional<int> undo();
  std::optional<int> redo();

  // Columns the table file must keep: all shown data columns, while a
  // loaded table is still being revealed every loaded column, and every
  // column with data that is not shown yet (steps put in by an edit).
  int columnsToSave() const;

  // "00.00" with the user's decimal separator.
  std::string formatPercent(double value) const;

 private:
  // Tests set up a table without going through its edits.
  friend struct SequencerTestAccess;

  void notify(Change what, int index = 0);
  // outgoing, the frame on this thread, sent.
  FrameResult sendNow(const Frame& frame);
  void setStatus(int panel, const std::string& text);
  void setIndicator(int channel, bool on);
  void setFixedColor(table::Rgb color);
  void setTimer1Enabled(bool enabled);
  void setTimer1Interval(int interval);
  void setComboEnabled(bool enabled);
  void setColCount(int count);
  void setProgress(int position, bool panelVisible);
  void setLoadedColumns(int columns);
  bool columnEmpty(int col) const;
  bool columnHasData(int col) const;
  int firstLineLength() const;
  // After an edit that put in or took out `count` columns at `at`.
  void columnsShifted(int at, int count);
  void insertColumns(int at, table::ColumnBlock block);

  comport::TSerialPort serialPort1_;

  std::int32_t stepRunning_ = 0;
  std::int32_t stepColumn_ = -1;
  std::array<std::int32_t, table::kChannels> channelEnabled_{};

  std::int32_t lastColumn_ = 0;
  double loadPercent_ = 0.0;
  std::int32_t lastInterval_ = 0;
  storage::KeptLines tableLines_;

  table::CellStore cells_;
  int colCount_ = 1;
  table::Rgb fixedColor_ = table::clSilver;
  int currentCol_ = 0;
  int currentRow_ = 1;
  std::string edit1Text_ = "100";
  std::vector<std::string> comboItems_;
  std::string comboText_ = "COM";
  bool comboEnabled_ = true;
  bool timer1Enabled_ = false;
  int timer1Interval_ = 100;
  std::array<std::string, 3> statusText_;
  std::array<bool, table::kChannels> indicatorOn_{};
  int progressPosition_ = 0;
  bool panel3Visible_ = true;
  int windowWidth_ = 617;
  std::string decimalSeparator_ = ".";
  EditHistory history_;

  Observer* observer_ = nullptr;
  StateLabels* labels_ = nullptr;
  bool stopFailed_ = false;
  int stopColumn_ = -1;  // the step whose marker the stop removes
  // A line sequence was cut short: the clock line may have been left high.
  bool linesUnsettled_ = false;
  int loadedColumns_ = 0;
  bool revealPending_ = false;
  table::ColumnBlock copied_;
};

}  // namespace sequencer
