#include "sequencer/player.h"

#include <algorithm>
#include <cmath>

#include "table/interval.h"

using table::CellStore;
using table::clRed;
using table::clSilver;
using table::clYellow;
using table::intervalValue;
using table::kChannels;

namespace sequencer {

Player::Player(sys::Backends backends, comport::SyncInvoker* invoker, SequenceTable& table,
               MainFormState& form)
    : table_(table),
      form_(form),
      serialPort1_(backends, invoker),
      sender_(std::make_unique<ImmediateSender>(serialPort1_)) {}

void Player::sendOnThread(std::function<void()> wake) {
  const bool unsettled = sender_->linesUnsettled();
  sender_.reset();  // the frames on their way go out; what they show is dropped
  ticks_.clear();
  sender_ = std::make_unique<ThreadedSender>(serialPort1_, unsettled, std::move(wake));
}

void Player::sendAtOnce() {
  const bool unsettled = sender_->linesUnsettled();
  sender_.reset();  // the frames on their way go out; what they show is dropped
  ticks_.clear();
  sender_ = std::make_unique<ImmediateSender>(serialPort1_, unsettled);
}

void Player::setChannelEnabled(const std::array<std::int32_t, kChannels>& flags) {
  channelEnabled_ = flags;
}

void Player::resetRun() {
  stepColumn_ = -1;
  stepRunning_ = 0;
  loadPercent_ = 0.0;
}

// ---------------------------------------------------------------- step tick

void Player::stepTick(Done done) {
  std::optional<TickPlan> plan = beginTick();
  if (!plan) return;
  ticks_.emplace_back(std::move(*plan), std::move(done));
  sender_->send(ticks_.back().first.frame, [this](const FrameResult& result) {
    auto [tick, done] = std::move(ticks_.front());
    ticks_.pop_front();
    finishTick(tick, result);
    done(result.error);
  });
}

std::optional<TickPlan> Player::beginTick() {
  if (!serialPort1_.IsOpen()) return std::nullopt;

  const std::int32_t v = intervalValue(form_.edit1Text());
  form_.setTimer1Interval(v < 1 ? 1 : v);

  if (stepRunning_ == 1) {
    ++stepColumn_;
    form_.setFixedColor(clRed);
    form_.setStatus(1, text::kExchanging);
  } else if (stepRunning_ == 0) {
    form_.setFixedColor(clYellow);
    form_.setStatus(1, text::kWatching);
  }

  TickPlan plan;
  plan.markers.emplace_back(stepColumn_, CellStore::kMarker);
  if (stepColumn_ != 0) plan.markers.emplace_back(stepColumn_ - 1, CellStore::kEmpty);
  if (stepColumn_ > table_.colCount() - 2) {
    plan.markers.emplace_back(stepColumn_, CellStore::kEmpty);
    stepColumn_ = 0;
    plan.markers.emplace_back(0, CellStore::kMarker);
  }
  plan.column = stepColumn_;
  const CellStore& cells = table_.cells();
  for (int k = 1; k <= kChannels; ++k) {
    plan.frame.bits[k - 1] = cells.isOne(stepColumn_, k) && channelEnabled_[k - 1] == 1;
  }
  return plan;
}

void Player::finishTick(const TickPlan& plan, const FrameResult& result) {
  for (const auto& [col, code] : plan.markers) table_.setMarker(col, code);
  form_.setStatus(0, text::kPosition + std::to_string(plan.column + 1));
  for (int k = 1; k <= result.bitsSent; ++k) form_.setIndicator(k, plan.frame.bits[k - 1]);
}

void Player::sendAllOff(Done done) {
  sender_->send(Frame::allOff(),
                [done = std::move(done)](const auto& result) { done(result.error); });
}

// ---------------------------------------------------------------- run control

void Player::startOrPause() {
  if (!serialPort1_.IsOpen()) {
    serialPort1_.setPort(form_.comboText());
    serialPort1_.setBaudRate(comport::br9600);
    serialPort1_.OpenPort();
    sender_->lowerLines();
    form_.setTimer1Enabled(true);
    form_.setComboEnabled(false);
  }
  stepRunning_ = stepRunning_ == 0 ? 1 : 0;
}

void Player::stop(Done done) {
  if (!beginStop()) {
    done(finishStop(std::nullopt));
    return;
  }
  sender_->send(Frame::allOff(),
                [this, done = std::move(done)](const auto& result) { done(finishStop(result)); });
}

bool Player::beginStop() {
  if (!serialPort1_.IsOpen()) return false;
  form_.setTimer1Enabled(false);
  stepRunning_ = 0;
  form_.setFixedColor(clSilver);
  stopColumn_ = stepColumn_;
  return true;
}

std::optional<std::string> Player::finishStop(const std::optional<FrameResult>& allOff) {
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
    table_.setMarker(stopColumn_, CellStore::kEmpty);
  }
  try {
    serialPort1_.ClosePort();
  } catch (const comport::EComPort& e) {
    if (retryOrRelease(e.what())) return message;
  }
  stopFailed_ = false;
  form_.setComboEnabled(true);
  stepColumn_ = -1;
  for (int k = 1; k <= kChannels; ++k) form_.setIndicator(k, false);
  return message;
}

// ---------------------------------------------------------------- housekeeping

void Player::housekeepingTick() {
  if (!form_.timer1Enabled()) form_.setStatus(1, text::kNoLink);

  const bool grown = table_.fitToData();
  lastColumn_ = table_.colCount() - (grown ? 2 : 1);
  if (grown) {
    const int length = static_cast<int>(table_.TableLines().firstLineLength);
    if (length > 10) loadPercent_ += 100.0 / (length - 9);
    if (loadPercent_ < 100) {
      form_.setStatus(1, text::kLoading + form_.formatPercent(loadPercent_) + " %");
    }
  }

  const std::int32_t v = intervalValue(form_.edit1Text());
  if (v != lastInterval_) {
    lastInterval_ = v;
    form_.setTimer1Interval(v);
    if (v < 1) {
      form_.setTimer1Interval(1);
      form_.setEdit1Text("1");
    }
  }

  form_.applyWidth();

  if (labels_) {
    if (form_.timer1Enabled()) {
      labels_->indikator();
    } else {
      labels_->showNoLink();
    }
  }

  progress();
}

void Player::progress() {
  const int length = static_cast<int>(table_.TableLines().firstLineLength);
  if (length <= 10) {
    form_.setProgress(form_.progressPosition(), false);
    return;
  }
  const int n = length - 9;
  // Rounded to nearest with halves to even (the default rounding mode).
  const long increment = std::lrint(static_cast<double>(kProgressMax) / n);
  const long sum = static_cast<long>(form_.progressPosition()) + increment;
  const int position = static_cast<int>(std::min<long>(sum, kProgressMax));
  form_.setProgress(position, form_.panel3Visible() && position != kProgressMax);
}

}  // namespace sequencer
