// The whole program in Qt's real event loop (offscreen platform), measured
// as a process:
//   live    the step timer at 1 ms playing a table on the virtual board for
//           5 s: steps latched per second, and how long the event loop takes
//           to answer an event posted to it meanwhile;
//   memory  a 100 000-column table loaded and revealed: the process's peak
//           resident memory.
// Each mode runs in a process of its own, so that one's peak is not the
// other's.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/windows.h"
#include "program/program.h"
#include "support.h"
#include "support/recorded_messages.h"
#include "ui/fonts.h"
#include "ui/resources.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLiveColumns = 64;
constexpr int kLiveSeconds = 5;
constexpr int kProbeEveryMs = 5;
constexpr int kBigTable = 100000;

// An event that carries the moment it was posted.
class ProbeEvent : public QEvent {
 public:
  static QEvent::Type kind() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  ProbeEvent() : QEvent(kind()), posted(Clock::now()) {}
  Clock::time_point posted;
};

class ProbeReceiver : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() != ProbeEvent::kind()) return QObject::event(e);
    const auto waited = Clock::now() - static_cast<ProbeEvent*>(e)->posted;
    latenciesMs.push_back(std::chrono::duration<double, std::milli>(waited).count());
    return true;
  }
  std::vector<double> latenciesMs;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1));
  return values[rank];
}

// Peak and current resident memory of this process, in MiB.
double statusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::stod(line.substr(length + 1)) / 1024.0;
  }
  return std::nan("");
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void settle(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

std::unique_ptr<app::Windows> startProgram(const bench::TempDir& dir,
                                           testing_support::RecordedMessages& messages) {
  // Every port name opens on the board: the machine's own ports stay shut.
  const auto board = std::make_shared<sys::VirtualBoard>();
  auto windows = std::make_unique<app::Windows>(app::WindowsOptions{
      dir.path("table.txt"), dir.path("Rilvet.dat"), board, board.get(), &messages});
  windows->form1->show();
  return windows;
}

int live() {
  bench::TempDir dir;
  bench::writeTableFile(dir.path("table.txt"), kLiveColumns, bench::Pattern::Random, "1");
  testing_support::RecordedMessages messages;
  auto windows = startProgram(dir, messages);
  ui::TForm1& form = *windows->form1;
  auto& model = windows->program;
  // The table is revealed by the housekeeping timer, as a user would see it.
  QElapsedTimer reveal;
  reveal.start();
  while (model.table().colCount() < kLiveColumns + 1 && reveal.elapsed() < 30000) settle(50);
  form.ComboBox1->setCurrentIndex(form.ComboBox1->findText(sys::kVirtualPort));
  form.BitBtn(1)->click();
  if (!model.player().SerialPort1().IsOpen()) {
    std::cerr << "the virtual board did not open\n";
    return 1;
  }
  settle(500);  // the first steps, the board window shown

  ProbeReceiver receiver;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(kProbeEveryMs);
  QObject::connect(&probe, &QTimer::timeout,
                   [&] { QCoreApplication::postEvent(&receiver, new ProbeEvent); });

  const auto frames0 = windows->board->state().framesLatched;
  const double cpu0 = threadCpuSeconds();
  const auto t0 = Clock::now();
  probe.start();
  QTimer::singleShot(kLiveSeconds * 1000, qApp, &QCoreApplication::quit);
  QCoreApplication::exec();
  probe.stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = threadCpuSeconds() - cpu0;
  const auto frames = windows->board->state().framesLatched - frames0;
  const double lastFrameUs =
      std::chrono::duration<double, std::micro>(windows->board->state().lastFrameDuration).count();
  form.BitBtn(2)->click();

  std::cout << "\nGoals\n";
  bench::info("live run", std::to_string(frames) + " steps latched in " + bench::fixed(seconds, 2) +
                              " s, Edit1 = 1, " + std::to_string(receiver.latenciesMs.size()) +
                              " probe events");
  bench::goal("live step rate on the virtual board, Edit1 = 1", frames / seconds, "steps/s",
              bench::Cmp::AtLeast, 950.0, 0);
  bench::goal("event loop answer to a posted event, 99th percentile during the run",
              percentile(receiver.latenciesMs, 99.0), "ms", bench::Cmp::AtMost, 20.0);
  bench::info("event loop answer, median / worst",
              bench::fixed(percentile(receiver.latenciesMs, 50.0), 3) + " ms / " +
                  bench::fixed(percentile(receiver.latenciesMs, 100.0), 3) + " ms");
  bench::info(
      "GUI thread CPU per step during the run (the step, the board's emulation, both "
      "windows' painting)",
      bench::fixed(cpu / static_cast<double>(frames) * 1e6, 1) + " us, " +
          bench::fixed(100.0 * cpu / seconds, 1) + " % of a core");
  bench::info("last frame on the virtual board, first line operation to latch",
              bench::fixed(lastFrameUs, 1) + " us");
  if (!messages.shown().isEmpty()) {
    std::cerr << "errors: " << messages.shown().join("; ").toStdString() << "\n";
    return 1;
  }
  return 0;
}

int memory() {
  bench::TempDir dir;
  bench::writeTableFile(dir.path("table.txt"), kBigTable);
  const double before = statusMiB("VmHWM:");
  testing_support::RecordedMessages messages;
  auto windows = startProgram(dir, messages);
  settle(300);
  const double loaded = statusMiB("VmHWM:");
  // Reveal every column at once instead of one per 100 ms tick.
  auto& model = windows->program;
  windows->form1->Timer2->stop();
  for (;;) {
    const int columns = model.table().colCount();
    windows->form1->program().Narahiv();
    if (model.table().colCount() == columns) break;
  }
  settle(300);
  windows->form1->StringGrid1->viewport()->repaint();
  const double peak = statusMiB("VmHWM:");

  std::cout << "\nGoals\n";
  bench::info("peak memory before the windows (Qt and the libraries)",
              bench::fixed(before, 1) + " MiB");
  bench::info("peak memory, 100 000-column table loaded (1 column shown)",
              bench::fixed(loaded, 1) + " MiB");
  bench::goal("peak memory of the program, 100 000-column table loaded and revealed", peak, "MiB",
              bench::Cmp::AtMost, 150.0, 1);
  bench::info("columns revealed", std::to_string(model.table().colCount() - 1));
  return model.table().colCount() == kBigTable + 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "live" && mode != "memory") {
    std::cerr << "usage: " << argv[0] << " live|memory\n";
    return 2;
  }
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ui::initResources();
  ui::installFontSubstitutes();
  return mode == "live" ? live() : memory();
}
