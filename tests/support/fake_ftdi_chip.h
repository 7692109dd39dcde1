// An FTDI chip in synchronous bit-bang mode without USB: it keeps every byte
// driven on the pins (the wire), drives them at the byte rate, and samples
// the input pins that a test sets with each. A test keeps a
// FakeFtdiChip::Wire while the platform owns the chip.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "comport/sys/linux_ftdi_chip.h"

namespace testing_support {

class FakeFtdiChip : public sys::ftdi::Chip {
 public:
  struct Wire {
    std::mutex mutex;
    sys::ftdi::OpenResult openResult = sys::ftdi::OpenResult::Ok;
    bool gone = false;                       // unplugged: every call fails
    std::uint8_t inputs = 0xFF;              // the pins read: all inputs inactive (high)
    std::vector<std::uint8_t> bytes;         // every byte driven, in order
    std::vector<std::uint32_t> rates;        // every byte rate set
    std::vector<sys::ftdi::Adapter> opened;  // each adapter opened
    int open = 0;                            // adapters held now
    std::uint8_t bitMode = 0;
    // The bytes not yet sampled, and when the last of them leaves the pins.
    std::deque<std::uint8_t> playing;
    std::chrono::steady_clock::time_point lineTime{};

    void set(std::uint8_t pins) {
      std::lock_guard lock(mutex);
      inputs = pins;
    }
    std::vector<std::uint8_t> wire() {
      std::lock_guard lock(mutex);
      return bytes;
    }
  };

  explicit FakeFtdiChip(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) {}

  sys::ftdi::OpenResult open(const sys::ftdi::Adapter& adapter) override {
    std::lock_guard lock(wire_->mutex);
    if (wire_->openResult == sys::ftdi::OpenResult::Ok) {
      ++wire_->open;
      wire_->opened.push_back(adapter);
    }
    return wire_->openResult;
  }
  bool setBitMode(std::uint8_t outputs) override {
    std::lock_guard lock(wire_->mutex);
    wire_->bitMode = outputs;
    return !wire_->gone;
  }
  bool setByteRate(std::uint32_t bytesPerSecond) override {
    std::lock_guard lock(wire_->mutex);
    wire_->rates.push_back(bytesPerSecond);
    rate_ = bytesPerSecond;
    return !wire_->gone;
  }
  bool write(const std::uint8_t* bytes, std::size_t count) override {
    std::lock_guard lock(wire_->mutex);
    if (wire_->gone) return false;
    wire_->bytes.insert(wire_->bytes.end(), bytes, bytes + count);
    wire_->playing.insert(wire_->playing.end(), bytes, bytes + count);
    const auto now = std::chrono::steady_clock::now();
    wire_->lineTime = std::max(wire_->lineTime, now) + count * byteTime();
    return true;
  }
  // The samples of the bytes whose time has come, after a millisecond.
  bool read(std::uint8_t* samples, std::size_t capacity, std::size_t& got) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard lock(wire_->mutex);
    got = 0;
    if (wire_->gone) return false;
    const auto left = wire_->lineTime - std::chrono::steady_clock::now();
    const auto unplayed = static_cast<std::size_t>(std::max<long long>(0, left / byteTime()));
    while (got < capacity && wire_->playing.size() > unplayed) {
      const std::uint8_t out = wire_->playing.front();
      wire_->playing.pop_front();
      samples[got++] =
          static_cast<std::uint8_t>((out & wire_->bitMode) | (wire_->inputs & ~wire_->bitMode));
    }
    return true;
  }
  bool readPins(std::uint8_t& pins) override {
    std::lock_guard lock(wire_->mutex);
    pins = wire_->inputs;
    return !wire_->gone;
  }
  void close() override {
    std::lock_guard lock(wire_->mutex);
    wire_->open = 0;
    wire_->playing.clear();
  }

 private:
  std::chrono::nanoseconds byteTime() const {
    return std::chrono::nanoseconds(1'000'000'000LL / std::max<std::uint32_t>(1, rate_));
  }

  std::shared_ptr<Wire> wire_;
  std::uint32_t rate_ = 1;
};

}  // namespace testing_support
