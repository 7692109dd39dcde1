#include "comport/sys/linux_ftdi_chip.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <ftdi.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sys::ftdi {

namespace {

namespace fs = std::filesystem;

// FTDI's bit-bang clock drives 16 bytes per period of the baud-rate divisor,
// and libftdi multiplies the rate it is given by 4 once bit-bang is on.
constexpr std::uint32_t kBytesPerBaud = 16;
constexpr std::uint32_t kLibftdiFactor = 4;
// The chip answers a read after this many ms at the latest. The samples
// come in full packets long before (one every 0.8 ms at 9600 bit/s), so it
// only matters for the last few when the port closes.
constexpr unsigned char kLatencyMs = 4;

// Whether a process (ours included) has the adapter's tty open: taking the
// adapter from its driver would hang that program's port up.
bool ttyOpen(const std::string& tty) {
  struct stat device {};
  if (::stat(("/dev/" + tty).c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (!std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    std::error_code fdEc;
    for (auto fd = fs::directory_iterator(it->path() / "fd", fdEc);
         !fdEc && fd != fs::directory_iterator(); fd.increment(fdEc)) {
      struct stat info {};
      if (::stat(fd->path().c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
          info.st_rdev == device.st_rdev) {
        return true;
      }
    }
  }
  return false;
}

class LibftdiChip : public Chip {
 public:
  ~LibftdiChip() override { close(); }

  OpenResult open(const Adapter& adapter) override {
    close();
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", adapter.bus, adapter.address);
    if (::access(node, F_OK) != 0) return OpenResult::Missing;
    // libftdi tells a refused open from any other failure only in its text.
    if (::access(node, R_OK | W_OK) != 0) return OpenResult::NoAccess;
    if (ttyOpen(adapter.tty)) return OpenResult::Busy;
    ftdi_ = ftdi_new();
    if (!ftdi_) return OpenResult::Failed;
    // ftdi_sio is given the interface back when it is released.
    ftdi_->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    ftdi_set_interface(ftdi_, static_cast<ftdi_interface>(INTERFACE_A + adapter.interface));
    const int result = ftdi_usb_open_bus_addr(ftdi_, static_cast<std::uint8_t>(adapter.bus),
                                              static_cast<std::uint8_t>(adapter.address));
    if (result != 0) {
      ftdi_free(std::exchange(ftdi_, nullptr));
      return result == -3   ? OpenResult::Missing
             : result == -4 ? OpenResult::NoAccess
             : result == -5 ? OpenResult::Busy
                            : OpenResult::Failed;
    }
    if (ftdi_set_latency_timer(ftdi_, kLatencyMs) != 0) {
      close();
      return OpenResult::Failed;
    }
    return OpenResult::Ok;
  }

  bool setBitMode(std::uint8_t outputs) override {
    return ftdi_ && ftdi_set_bitmode(ftdi_, outputs, BITMODE_SYNCBB) == 0;
  }

  bool setByteRate(std::uint32_t bytesPerSecond) override {
    const std::uint32_t rate = bytesPerSecond / (kBytesPerBaud * kLibftdiFactor);
    return ftdi_ && rate > 0 && ftdi_set_baudrate(ftdi_, static_cast<int>(rate)) == 0;
  }

  bool write(const std::uint8_t* bytes, std::size_t count) override {
    const int size = static_cast<int>(count);
    return ftdi_ && (count == 0 || ftdi_write_data(ftdi_, bytes, size) == size);
  }

  // libftdi keeps reading and writing apart in its context, and libusb
  // allows a transfer in each direction from two threads.
  bool read(std::uint8_t* samples, std::size_t capacity, std::size_t& got) override {
    const int result = ftdi_ ? ftdi_read_data(ftdi_, samples, static_cast<int>(capacity)) : -1;
    got = result > 0 ? static_cast<std::size_t>(result) : 0;
    return result >= 0;
  }

  bool readPins(std::uint8_t& pins) override {
    unsigned char value = 0;
    if (!ftdi_ || ftdi_read_pins(ftdi_, &value) != 0) return false;
    pins = value;
    return true;
  }

  void close() override {
    if (!ftdi_) return;
    // An adapter that is gone refuses both; the context is freed all the same.
    ftdi_set_bitmode(ftdi_, 0, BITMODE_RESET);
    ftdi_usb_close(ftdi_);
    ftdi_free(std::exchange(ftdi_, nullptr));
  }

 private:
  ftdi_context* ftdi_ = nullptr;
};

}  // namespace

std::unique_ptr<Chip> makeLibftdiChip() {
  return std::make_unique<LibftdiChip>();
}

}  // namespace sys::ftdi
