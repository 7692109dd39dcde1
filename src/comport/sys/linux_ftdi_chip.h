// The few calls of an FTDI chip that the fast path needs, so that the frame
// and pin logic does not depend on the library that reaches the chip: libftdi
// on Linux, and FTDI's own D2XX library wherever it takes its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sys::ftdi {

// The UART's pins as bit-bang bits; the same on FT232R, FT232H and each
// channel of FT2232 and FT4232. The control lines are active low: an asserted
// RTS drives RTS# low, as in UART mode.
inline constexpr std::uint8_t kTxd = 0x01;
inline constexpr std::uint8_t kRxd = 0x02;
inline constexpr std::uint8_t kRts = 0x04;
inline constexpr std::uint8_t kCts = 0x08;
inline constexpr std::uint8_t kDtr = 0x10;
inline constexpr std::uint8_t kDsr = 0x20;
inline constexpr std::uint8_t kDcd = 0x40;
inline constexpr std::uint8_t kRi = 0x80;
inline constexpr std::uint8_t kOutputs = kTxd | kRts | kDtr;

// One adapter, as the system knows it: the tty its serial driver made, and
// the USB device and interface behind it.
struct Adapter {
  std::string tty;  // "ttyUSB0"
  int bus = 0;
  int address = 0;
  int interface = 0;  // the channel of a multi-channel chip, 0 for A
};

enum class OpenResult { Ok, Missing, Busy, NoAccess, Failed };

class Chip {
 public:
  virtual ~Chip() = default;

  // Takes the adapter from the system's serial driver.
  virtual OpenResult open(const Adapter& adapter) = 0;
  // Synchronous bit-bang with `outputs` driven; the other pins are inputs.
  virtual bool setBitMode(std::uint8_t outputs) = 0;
  // Bytes driven on the pins per second.
  virtual bool setByteRate(std::uint32_t bytesPerSecond) = 0;
  // Drives the bytes on the pins one after another, at the byte rate; returns
  // once the chip has taken them.
  virtual bool write(const std::uint8_t* bytes, std::size_t count) = 0;
  // The pins as the chip sampled them, one sample for each byte driven, in
  // order: what came, up to `capacity`, waiting a few milliseconds at most.
  // Safe beside a write in another thread.
  virtual bool read(std::uint8_t* samples, std::size_t capacity, std::size_t& got) = 0;
  // The pins now, read by a control request.
  virtual bool readPins(std::uint8_t& pins) = 0;
  // Back to UART mode and to the system's serial driver.
  virtual void close() = 0;
};

// The chip through libftdi.
std::unique_ptr<Chip> makeLibftdiChip();

}  // namespace sys::ftdi
