// The step frame through the Linux backend and the guest kernel's drivers (the
// 8250, and ftdi_sio on the emulated FT232R of tests/hil/ft232r_gadget.c),
// next to the same frame on a port whose calls cost nothing. Runs inside the
// rig's QEMU guest (scripts/hil.sh --bench): under software emulation every
// figure is slower than on hardware, so the ratio is what to read, not the
// absolute times; the FT232R's figures are those of an emulated device on
// the kernel's software USB controller. The inputs' figures add QEMU's own
// look at the host's lines every 10 ms (8250), or the chip's status packet
// every latency period (FT232R), to the backend's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "comport/serial_port.h"
#include "comport/sys/linux_ftdi_platform.h"
#include "hil/board_link.h"
#include "hil/linux_port.h"
#include "null_platform.h"
#include "sequencer/player.h"
#include "support.h"
#include "support/gui_queue.h"
#include "support/sequencer_setup.h"
#include "support/tty_model.h"  // here only to count the program's ioctls

using testing_support::enableAllChannels;
using testing_support::putCells;

namespace {

// The player with its table and form state.
struct Model {
  explicit Model(sys::Backends backends) : player(backends, nullptr, table, form) {}
  sequencer::SequenceTable table;
  sequencer::MainFormState form;
  sequencer::Player player;
};

void fillRandomColumns(Model& model, int columns) {
  unsigned seed = 1;
  putCells(model.table, [&](table::CellStore& cells) {
    for (int c = 0; c < columns; ++c) {
      for (int k = 1; k <= table::kChannels; ++k) {
        seed = seed * 1103515245u + 12345u;
        cells.setCode(c, k, (seed >> 16) & 1 ? table::CellStore::kOne : table::CellStore::kZero);
      }
    }
  });
  model.table.setColCount(columns + 1);
  enableAllChannels(model.player);
}

void frames(benchmark::State& state, sys::Backends backends, const std::string& port) {
  Model model(backends);
  fillRandomColumns(model, 16);
  model.form.setComboText(port);
  model.player.startOrPause();
  for (auto _ : state) testing_support::stepTick(model.player);
  testing_support::stop(model.player);
}

void BM_FrameNullPort(benchmark::State& state) {
  bench::NullPlatform platform;
  frames(state, platform, "NULL");
}
BENCHMARK(BM_FrameNullPort)->MinTime(0.5);

void BM_FrameUart8250(benchmark::State& state) {
  frames(state, hil::linuxPlatform(), "ttyS1");
}
BENCHMARK(BM_FrameUart8250)->MinTime(2.0)->UseRealTime();

void BM_FrameEmulatedFt232r(benchmark::State& state) {
  frames(state, hil::linuxPlatform(), hil::portName(hil::Board::Emulated));
}
BENCHMARK(BM_FrameEmulatedFt232r)->MinTime(2.0)->UseRealTime();

// The same chip through the FTDI fast path: bit-bang, one transfer a frame.
sys::Backends fastPath() {
  return sys::Backends(hil::linuxPlatform(), nullptr, &sys::ftdiPlatform());
}
void BM_FrameEmulatedFt232rFast(benchmark::State& state) {
  frames(state, fastPath(), sys::ftdiPortName(hil::portName(hil::Board::Emulated)));
}
BENCHMARK(BM_FrameEmulatedFt232rFast)->MinTime(2.0)->UseRealTime();

// One RTS switch: one SET_MODEM_CTRL control transfer through ftdi_sio.
void BM_LineSwitchEmulatedFt232r(benchmark::State& state) {
  comport::TSerialPort port(hil::linuxPlatform());
  port.setPort(hil::portName(hil::Board::Emulated));
  port.OpenPort();
  bool level = false;
  for (auto _ : state) port.SetRTS(level = !level);
  port.ClosePort();
}
BENCHMARK(BM_LineSwitchEmulatedFt232r)->MinTime(1.0)->UseRealTime();

// CPU time of this process while the port stays open and nothing happens;
// `ioctls`: the calls it made meanwhile, per second.
double idleCpuShare(sys::Backends backends, const std::string& portName, std::chrono::seconds span,
                    double& ioctls) {
  comport::TSerialPort port(backends);
  port.setPort(portName);
  port.OnCTSChange = [](comport::TSerialPort&, bool) {};
  port.OnDSRChange = [](comport::TSerialPort&, bool) {};
  port.OnRLSDChange = [](comport::TSerialPort&, bool) {};
  port.OpenPort();
  const auto cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the open's own calls are over
  ttyModelResetCalls();
  const double before = cpu();
  std::this_thread::sleep_for(span);
  const double used = cpu() - before;
  ioctls = static_cast<double>(ttyModelCalls()) / static_cast<double>(span.count());
  port.ClosePort();
  return used / static_cast<double>(span.count());
}

// CTS edges set on `board` to OnCTSChange on this program's "GUI" thread,
// which runs the port's synchronous calls as the window's event loop does.
// An edge counts when its call comes before the next edge, `apart` later.
std::vector<double> ctsEdgeMicros(hil::Board board, sys::Backends backends,
                                  const std::string& portName, int edges,
                                  std::chrono::milliseconds apart = std::chrono::milliseconds(60)) {
  using Clock = std::chrono::steady_clock;
  hil::BoardLink link;
  link.reset(board);
  link.setInputs(board, false, false, false);
  testing_support::GuiQueue gui;
  comport::TSerialPort port(backends, &gui);
  port.setPort(portName);
  std::vector<Clock::time_point> calls;
  port.OnCTSChange = [&](comport::TSerialPort&, bool) { calls.push_back(Clock::now()); };
  port.OpenPort();
  std::vector<Clock::time_point> set;
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (int i = 0; i < edges; ++i) {
      std::this_thread::sleep_for(apart);
      // From the request on: the host may apply it, and the guest deliver
      // it, before the host's reply is back.
      set.push_back(Clock::now());
      link.setInputs(board, i % 2 == 0, false, false);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    done = true;
  });
  while (!done) {
    gui.waitForWork(1);
    gui.checkSynchronize();
  }
  host.join();
  port.ClosePort();
  link.setInputs(board, false, false, false);
  std::vector<double> micros;
  for (std::size_t i = 0; i < set.size(); ++i) {
    const auto next = i + 1 < set.size() ? set[i + 1] : Clock::time_point::max();
    const auto it = std::lower_bound(calls.begin(), calls.end(), set[i]);
    if (it != calls.end() && *it < next) {
      micros.push_back(std::chrono::duration<double, std::micro>(*it - set[i]).count());
    }
  }
  std::sort(micros.begin(), micros.end());
  return micros;
}

// Every path the figures take, once and without timing: the rig's tests run
// this, so that the benchmark cannot fail only when it is measured.
int once() {
  bench::NullPlatform null;
  for (const auto& [platform, port] : {std::pair<sys::Platform*, const char*>{&null, "NULL"},
                                       {&hil::linuxPlatform(), "ttyS1"},
                                       {&hil::linuxPlatform(), "ttyUSB1"}}) {
    Model model(*platform);
    fillRandomColumns(model, 4);
    model.form.setComboText(port);
    model.player.startOrPause();
    for (int i = 0; i < 3; ++i) testing_support::stepTick(model.player);
    testing_support::stop(model.player);
  }
  {
    Model model(fastPath());
    fillRandomColumns(model, 4);
    model.form.setComboText(sys::ftdiPortName("ttyUSB1"));
    model.player.startOrPause();
    for (int i = 0; i < 3; ++i) testing_support::stepTick(model.player);
    testing_support::stop(model.player);
  }
  double ioctls = 0;
  idleCpuShare(hil::linuxPlatform(), hil::portName(hil::Board::Uart), std::chrono::seconds(1),
               ioctls);
  // Far apart: on a loaded machine an edge may take longer than the
  // benchmark's spacing, and here only the path matters.
  const auto apart = std::chrono::milliseconds(500);
  const std::string uart = hil::portName(hil::Board::Uart);
  const std::string chip = hil::portName(hil::Board::Emulated);
  const std::size_t edges =
      ctsEdgeMicros(hil::Board::Uart, hil::linuxPlatform(), uart, 2, apart).size() +
      ctsEdgeMicros(hil::Board::Emulated, hil::linuxPlatform(), chip, 2, apart).size() +
      ctsEdgeMicros(hil::Board::Emulated, fastPath(), sys::ftdiPortName(chip), 2, apart).size();
  std::printf("frame bench, once: %zu of 6 CTS edges reached the handler\n", edges);
  return edges == 6 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--once") {
    try {
      return once();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "frame bench, once: %s\n", e.what());
      return 1;
    }
  }
  bench::Capture capture;
  if (!bench::runBenchmarks(argc, argv, capture)) return 1;
  const double nullPort = capture.micros("BM_FrameNullPort");
  const double uart = capture.micros("BM_FrameUart8250");
  const double ftdi = capture.micros("BM_FrameEmulatedFt232r");
  const double lineSwitch = capture.micros("BM_LineSwitchEmulatedFt232r");
  const double fast = capture.micros("BM_FrameEmulatedFt232rFast");
  bench::info("step frame on the guest's 8250 through the Linux backend (QEMU TCG, model)",
              bench::fixed(uart, 0) + " us");
  bench::info("step frame on a null port in the same guest (QEMU TCG, model)",
              bench::fixed(nullPort, 2) + " us");
  bench::info("8250 frame / null-port frame, same guest", bench::fixed(uart / nullPort, 0) + "x");
  // The timer at 1 ms starts a tick at most every millisecond.
  bench::info("steps/s at Edit1 = 1, emulated FT232R, ftdi_sio path (QEMU TCG, emulated device)",
              bench::fixed(std::min(1000.0, 1e6 / ftdi), 2));
  bench::info("step frame, emulated FT232R, ftdi_sio path (QEMU TCG, emulated device)",
              bench::fixed(ftdi / 1000.0, 1) + " ms");
  bench::info("steps/s at Edit1 = 1, emulated FT232R, FTDI fast path (QEMU TCG, emulated device)",
              bench::fixed(std::min(1000.0, 1e6 / fast), 2));
  bench::info("step frame, emulated FT232R, FTDI fast path (QEMU TCG, emulated device)",
              bench::fixed(fast / 1000.0, 2) + " ms");
  const bool fastEnough = bench::goal(
      "emulated FT232R: steps/s of the FTDI fast path / of the ftdi_sio path, Edit1 = 1",
      std::min(1000.0, 1e6 / fast) / std::min(1000.0, 1e6 / ftdi), "x", bench::Cmp::AtLeast, 20.0,
      1);
  bench::info("one line switch = one USB control transfer, emulated FT232R on dummy_hcd (QEMU TCG)",
              bench::fixed(lineSwitch / 1000.0, 2) + " ms");
  double ioctls = 0;
  const double idleUart = idleCpuShare(hil::linuxPlatform(), hil::portName(hil::Board::Uart),
                                       std::chrono::seconds(3), ioctls);
  bench::info("CPU of an idle open port on the guest's 8250, inputs watched (QEMU TCG, model)",
              bench::fixed(100.0 * idleUart, 2) + " %");
  bench::info("ioctls per second of that idle open port", bench::fixed(ioctls, 0));
  // The chip streams while the port is open: its samples come back all the time.
  const double idleFast =
      idleCpuShare(fastPath(), sys::ftdiPortName(hil::portName(hil::Board::Emulated)),
                   std::chrono::seconds(3), ioctls);
  bench::info(
      "CPU of an idle open port, emulated FT232R, FTDI fast path, this process only "
      "(QEMU TCG, emulated device)",
      bench::fixed(100.0 * idleFast, 2) + " %");
  constexpr int kEdges = 40;
  const std::string chipTty = hil::portName(hil::Board::Emulated);
  const struct {
    hil::Board board;
    sys::Backends backends;
    std::string port;
    const char* name;
  } kPaths[] = {{hil::Board::Uart, hil::linuxPlatform(), hil::portName(hil::Board::Uart),
                 "guest's 8250 (QEMU TCG, model)"},
                {hil::Board::Emulated, hil::linuxPlatform(), chipTty,
                 "emulated FT232R, ftdi_sio path (QEMU TCG, emulated device)"},
                {hil::Board::Emulated, fastPath(), sys::ftdiPortName(chipTty),
                 "emulated FT232R, FTDI fast path (QEMU TCG, emulated device)"}};
  for (const auto& path : kPaths) {
    const std::vector<double> edges = ctsEdgeMicros(path.board, path.backends, path.port, kEdges);
    if (!edges.empty()) {
      bench::info(std::string("CTS edge to OnCTSChange, median / p99, ") + path.name,
                  bench::fixed(edges[edges.size() / 2] / 1000.0, 1) + " / " +
                      bench::fixed(edges[(edges.size() - 1) * 99 / 100] / 1000.0, 1) + " ms");
    }
    bench::info(std::string("CTS edges that reached the handler, ") + path.name,
                std::to_string(edges.size()) + " of " + std::to_string(kEdges));
  }
  return std::isnan(uart) || std::isnan(nullPort) || std::isnan(ftdi) || !fastEnough ? 1 : 0;
}
