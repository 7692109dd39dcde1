// The step frame through the Linux backend and the guest kernel's 8250 driver,
// next to the same frame on a port whose calls cost nothing. Runs inside the
// rig's QEMU guest (scripts/hil.sh --bench): under software emulation every
// figure is slower than on hardware, so the ratio is what to read, not the
// absolute times.
#include <chrono>
#include <cmath>
#include <thread>

#include <sys/resource.h>

#include "comport/serial_port.h"
#include "hil/linux_port.h"
#include "null_platform.h"
#include "sequencer/sequencer.h"
#include "support.h"

namespace {

void fillRandomColumns(sequencer::Sequencer& model, int columns) {
  unsigned seed = 1;
  for (int c = 0; c < columns; ++c) {
    for (int k = 1; k <= sequencer::kChannels; ++k) {
      seed = seed * 1103515245u + 12345u;
      model.Cells.setCode(
          c, k, (seed >> 16) & 1 ? sequencer::CellStore::kOne : sequencer::CellStore::kZero);
    }
  }
  model.ColCount = columns + 1;
  model.ChannelEnabled.fill(1);
}

void frames(benchmark::State& state, sys::Platform& platform, const char* port) {
  sequencer::Sequencer model(platform, nullptr);
  fillRandomColumns(model, 16);
  model.setComboText(port);
  model.BitBtn1Click();
  for (auto _ : state) model.Posilka();
  model.BitBtn2Click();
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

// CPU time of this process while the port stays open and nothing happens.
double idleCpuShare(std::chrono::seconds span) {
  comport::TSerialPort port(hil::linuxPlatform());
  port.SetPort("ttyS1");
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
  const double before = cpu();
  std::this_thread::sleep_for(span);
  const double used = cpu() - before;
  port.ClosePort();
  return used / static_cast<double>(span.count());
}

}  // namespace

int main(int argc, char** argv) {
  bench::Capture capture;
  if (!bench::runBenchmarks(argc, argv, capture)) return 1;
  const double nullPort = capture.micros("BM_FrameNullPort");
  const double uart = capture.micros("BM_FrameUart8250");
  bench::info("step frame on the guest's 8250 through the Linux backend (QEMU TCG, model)",
              bench::fixed(uart, 0) + " us");
  bench::info("step frame on a null port in the same guest (QEMU TCG, model)",
              bench::fixed(nullPort, 2) + " us");
  bench::info("8250 frame / null-port frame, same guest", bench::fixed(uart / nullPort, 0) + "x");
  bench::info("CPU of an idle open port on the guest's 8250, inputs watched (QEMU TCG, model)",
              bench::fixed(100.0 * idleCpuShare(std::chrono::seconds(3)), 2) + " %");
  return std::isnan(uart) || std::isnan(nullPort) ? 1 : 0;
}
