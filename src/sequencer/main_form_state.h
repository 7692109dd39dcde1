// What the main window shows besides the table, without any widgets: the
// status texts, the indicators, the header row's colour, the copies of
// `Edit1`, `ComboBox1` and `Timer1`, the load progress and the window's width.
// The player and the handlers write it; the window shows it.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "sequencer/change.h"
#include "table/channels.h"
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

class MainFormState {
 public:
  void setObserver(Observer* observer) { observer_ = observer; }

  const std::array<std::string, 3>& statusText() const { return statusText_; }
  // [k - 1] for channel k: lime when true, green when false.
  const std::array<bool, table::kChannels>& indicatorOn() const { return indicatorOn_; }
  table::Rgb fixedColor() const { return fixedColor_; }
  const std::string& edit1Text() const { return edit1Text_; }
  const std::vector<std::string>& comboItems() const { return comboItems_; }
  const std::string& comboText() const { return comboText_; }
  bool comboEnabled() const { return comboEnabled_; }
  bool timer1Enabled() const { return timer1Enabled_; }
  int timer1Interval() const { return timer1Interval_; }
  int progressPosition() const { return progressPosition_; }
  bool panel3Visible() const { return panel3Visible_; }
  int windowWidth() const { return windowWidth_; }
  // The table follows the window's width at the housekeeping tick.
  int gridWidth() const { return windowWidth_ - 60; }

  void setStatus(int panel, const std::string& text);
  void setIndicator(int channel, bool on);
  void setFixedColor(table::Rgb color);
  void setTimer1Enabled(bool enabled);
  void setTimer1Interval(int interval);
  // Announced even when unchanged: the port has been opened or closed.
  void setComboEnabled(bool enabled);
  void setProgress(int position, bool panelVisible);
  // The window's width is applied to the table now.
  void applyWidth();

  // Input from the widgets.
  void setEdit1Text(const std::string& text);
  void setComboText(const std::string& text);
  void setComboItems(std::vector<std::string> items);
  void setWindowWidth(int width) { windowWidth_ = width; }
  void setDecimalSeparator(std::string separator) { decimalSeparator_ = std::move(separator); }

  // "00.00" with the user's decimal separator.
  std::string formatPercent(double value) const;

 private:
  void notify(Change what, int index = 0);

  std::array<std::string, 3> statusText_;
  std::array<bool, table::kChannels> indicatorOn_{};
  table::Rgb fixedColor_ = table::clSilver;
  std::string edit1Text_ = "100";
  std::vector<std::string> comboItems_;
  std::string comboText_ = "COM";
  bool comboEnabled_ = true;
  bool timer1Enabled_ = false;
  int timer1Interval_ = 100;
  int progressPosition_ = 0;
  bool panel3Visible_ = true;
  int windowWidth_ = 617;
  std::string decimalSeparator_ = ".";
  Observer* observer_ = nullptr;
};

}  // namespace sequencer
