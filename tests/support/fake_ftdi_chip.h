// An FTDI chip in bit-bang mode without USB: it keeps every byte driven on
// the pins (the wire) and answers with input pins that a test sets. A
// test keeps a FakeFtdiChip::Wire while the platform owns the chip.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
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
    std::vector<std::size_t> transfers;      // the size of each transfer
    std::vector<std::uint32_t> rates;        // every byte rate set
    std::vector<sys::ftdi::Adapter> opened;  // each adapter opened
    int open = 0;                            // adapters held now
    std::uint8_t bitMode = 0;

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
    return !wire_->gone;
  }
  bool write(const std::uint8_t* bytes, std::size_t count) override {
    std::lock_guard lock(wire_->mutex);
    if (wire_->gone) return false;
    wire_->bytes.insert(wire_->bytes.end(), bytes, bytes + count);
    wire_->transfers.push_back(count);
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
  }

 private:
  std::shared_ptr<Wire> wire_;
};

}  // namespace testing_support
