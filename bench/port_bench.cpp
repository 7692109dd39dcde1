// The serial port's inputs and its cost at rest, through the Linux backend on a
// pseudo-terminal. A pty has no modem lines, so the lines are a model of a
// 16550 driver's (tests/support/tty_model.c): the figures time the backend and
// the event thread, not a UART; a real driver adds its interrupt and wake-up
// latency.
//
//   CTS edge to handler: an input change in the model to the start of
//   OnCTSChange on the "GUI" thread (this program's main thread, pumping the
//   port's synchronous calls as the window's event loop does).
//   Short pulses: of 200 pulses, how many reached the handler at all.
//   At rest: ioctls per second and CPU of the whole process with the port
//   open and nothing happening.
//   Latch bytes: synchronous calls to the GUI thread per latch byte written,
//   with no OnTxEmpty handler.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "comport/serial_port.h"
#include "comport/sys/linux_platform.h"
#include "comport/sys/virtual_board.h"
#include "support.h"
#include "support/gui_queue.h"
#include "support/tty_model.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using bench::Pty;

// The GUI side: runs the event thread's synchronous calls, counting them.
class Gui : public testing_support::GuiQueue {
 public:
  void synchronize(const std::function<void()>& call) override {
    ++synchronous;
    GuiQueue::synchronize(call);
  }
  // Pumps until `done` is set.
  void run(const std::atomic<bool>& done) {
    while (!done.load()) {
      waitForWork(1);
      checkSynchronize();
    }
  }
  std::atomic<long> synchronous{0};
};

// One port as the program opens it, on the Linux backend or the board.
struct Rig {
  std::unique_ptr<sys::Platform> machine;
  std::unique_ptr<sys::VirtualBoard> board;
  Gui gui;
  comport::TSerialPort port;
  std::vector<Clock::time_point> calls;  // OnCTSChange, GUI thread

  explicit Rig(const Pty* pty)
      : machine(pty ? sys::makeLinuxPlatform(pty->devDir(), pty->sysDir(), pty->lockDir())
                    : nullptr),
        board(pty ? nullptr : std::make_unique<sys::VirtualBoard>()),
        port(pty ? sys::Backends(*machine) : sys::Backends(*board), &gui) {
    port.setPort(pty ? "ttyBENCH" : sys::kVirtualPort);
    port.OnCTSChange = [this](comport::TSerialPort&, bool) { calls.push_back(Clock::now()); };
  }
  void setCts(bool on) {
    if (board) {
      board->setCts(on);
    } else {
      ttyModelSetInput(TIOCM_CTS, on);
    }
  }
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void busyWait(Clock::duration span) {
  const auto end = Clock::now() + span;
  while (Clock::now() < end) {
  }
}

// Runs `stimulus` on its own thread while this thread pumps the GUI side.
template <typename Stimulus>
void withGui(Rig& rig, Stimulus&& stimulus) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    stimulus();
    done = true;
  });
  rig.gui.run(done);
  t.join();
  rig.gui.checkSynchronize();
}

void edges(Rig& rig, const std::string& name) {
  constexpr int kEdges = 300;
  std::vector<Clock::time_point> sent;
  std::mt19937 random(7);
  withGui(rig, [&] {
    for (int i = 0; i < kEdges; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(4000 + random() % 3000));
      sent.push_back(Clock::now());
      rig.setCts(i % 2 == 0);
    }
    std::this_thread::sleep_for(50ms);
  });
  std::vector<double> latency;
  int missed = 0;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const auto next = i + 1 < sent.size() ? sent[i + 1] : Clock::time_point::max();
    auto it = std::lower_bound(rig.calls.begin(), rig.calls.end(), sent[i]);
    if (it == rig.calls.end() || *it >= next) {
      ++missed;
      continue;
    }
    latency.push_back(std::chrono::duration<double, std::micro>(*it - sent[i]).count());
  }
  bench::info(name + ": CTS edge to handler, median",
              bench::fixed(percentile(latency, 0.5), 0) + " us");
  bench::info(name + ": CTS edge to handler, p99",
              bench::fixed(percentile(latency, 0.99), 0) + " us");
  bench::info(name + ": edges without a call",
              std::to_string(missed) + " of " + std::to_string(kEdges));
  rig.calls.clear();
}

// With `goals`, the figures that must hold on a driver that can wait for a
// line change are printed as goals.
void pulses(Rig& rig, const std::string& name, bool goals) {
  constexpr int kPulses = 200;
  for (auto width : {1000us, 500us, 100us}) {
    std::vector<Clock::time_point> sent;
    withGui(rig, [&] {
      for (int i = 0; i < kPulses; ++i) {
        sent.push_back(Clock::now());
        rig.setCts(true);
        busyWait(width);
        rig.setCts(false);
        std::this_thread::sleep_for(20ms);
      }
    });
    int reached = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const auto next = i + 1 < sent.size() ? sent[i + 1] : Clock::time_point::max();
      auto it = std::lower_bound(rig.calls.begin(), rig.calls.end(), sent[i]);
      if (it != rig.calls.end() && *it < next) ++reached;
    }
    const std::string figure =
        name + ": CTS pulses of " + std::to_string(width.count()) + " us that reached the handler";
    if (goals) {
      bench::goal(figure, reached, "of " + std::to_string(kPulses), bench::Cmp::AtLeast, kPulses,
                  0);
    } else {
      bench::info(figure, std::to_string(reached) + " of " + std::to_string(kPulses));
    }
    rig.calls.clear();
  }
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void atRest(const std::string& name, bool goals) {
  std::this_thread::sleep_for(300ms);  // the open's own calls are over
  ttyModelResetCalls();
  const double cpu = cpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(3s);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double used = cpuSeconds() - cpu;
  const double ioctls = static_cast<double>(ttyModelCalls()) / wall;
  const double share = 100.0 * used / wall;
  if (goals) {
    bench::goal(name + ": ioctls per second at rest", ioctls, "/s", bench::Cmp::AtMost, 0, 0);
    bench::goal(name + ": CPU at rest", share, "% of a core", bench::Cmp::AtMost, 0.05, 3);
  } else {
    bench::info(name + ": ioctls per second at rest",
                bench::fixed(ioctls, 0) + " (TIOCMGET " +
                    bench::fixed(static_cast<double>(ttyModelCallsOf(TIOCMGET)) / wall, 0) + ")");
    bench::info(name + ": CPU at rest", bench::fixed(share, 3) + " % of a core");
  }
}

void latches(Rig& rig, const std::string& name, bool goals) {
  constexpr int kLatches = 100;
  const long before = rig.gui.synchronous.load();
  withGui(rig, [&] {
    for (int i = 0; i < kLatches; ++i) {
      rig.port.WriteText("\x01");
      std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(50ms);
  });
  const double calls = static_cast<double>(rig.gui.synchronous.load() - before) / kLatches;
  const std::string figure = name + ": GUI-thread calls per latch byte (no OnTxEmpty)";
  if (goals) {
    bench::goal(figure, calls, "", bench::Cmp::AtMost, 0);
  } else {
    bench::info(figure, bench::fixed(calls, 2));
  }
}

void onPty(bool withWait) {
  const std::string name =
      std::string("pty, driver ") + (withWait ? "with" : "without") + " TIOCMIWAIT";
  Pty pty;
  if (ttyModelAttach(pty.slave().c_str(), withWait ? 1 : 0) != 0) {
    throw std::runtime_error("cannot model " + pty.slave());
  }
  {
    Rig rig(&pty);
    rig.port.OpenPort();
    atRest(name, withWait);
    edges(rig, name);
    pulses(rig, name, withWait);
    // The latch is written from the GUI thread in the program; here from the
    // stimulus thread, which changes nothing of what the event thread does.
    latches(rig, name, withWait);
    rig.port.ClosePort();
  }
  ttyModelDetach();
}

}  // namespace

int main() {
  try {
    onPty(true);
    onPty(false);
    Rig board(nullptr);
    board.port.OpenPort();
    edges(board, "virtual board");
    pulses(board, "virtual board", false);
    board.port.ClosePort();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "port bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
