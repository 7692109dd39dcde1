#include "sequencer/main_form_state.h"

#include <cmath>
#include <cstdio>

namespace sequencer {

void MainFormState::notify(Change what, int index) {
  if (observer_) observer_->changed(what, index);
}

void MainFormState::setStatus(int panel, const std::string& text) {
  if (statusText_[panel] == text) return;
  statusText_[panel] = text;
  notify(Change::Status, panel);
}

void MainFormState::setIndicator(int channel, bool on) {
  if (indicatorOn_[channel - 1] == on) return;
  indicatorOn_[channel - 1] = on;
  notify(Change::Indicator, channel);
}

void MainFormState::setFixedColor(table::Rgb color) {
  if (fixedColor_ == color) return;
  fixedColor_ = color;
  notify(Change::FixedColor);
}

void MainFormState::setTimer1Enabled(bool enabled) {
  if (timer1Enabled_ == enabled) return;
  timer1Enabled_ = enabled;
  notify(Change::Timer1);
}

void MainFormState::setTimer1Interval(int interval) {
  // The same interval again changes nothing; another one restarts the period.
  if (timer1Interval_ == interval) return;
  timer1Interval_ = interval;
  notify(Change::Timer1);
}

void MainFormState::setComboEnabled(bool enabled) {
  comboEnabled_ = enabled;
  notify(Change::ComboBox);
}

void MainFormState::setProgress(int position, bool panelVisible) {
  if (progressPosition_ == position && panel3Visible_ == panelVisible) return;
  progressPosition_ = position;
  panel3Visible_ = panelVisible;
  notify(Change::Progress);
}

void MainFormState::applyWidth() {
  notify(Change::GridWidth);
}

void MainFormState::setEdit1Text(const std::string& text) {
  if (edit1Text_ == text) return;
  edit1Text_ = text;
  notify(Change::Edit1);
}

void MainFormState::setComboText(const std::string& text) {
  if (comboText_ == text) return;
  comboText_ = text;
  notify(Change::ComboBox);
}

void MainFormState::setComboItems(std::vector<std::string> items) {
  comboItems_ = std::move(items);
  notify(Change::ComboBox);
}

std::string MainFormState::formatPercent(double value) const {
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

}  // namespace sequencer
