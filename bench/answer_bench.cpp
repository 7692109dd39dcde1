// How quickly the window answers while the steps go through a slow adapter:
// the whole program in Qt's real event loop (offscreen platform), playing a
// table at Edit1 = 1 on the virtual board behind a model of a USB serial
// adapter whose every device operation takes 1 ms (bench/slow_port.h).
//
// Two probes run on threads of their own, so that their clocks never wait for
// the GUI thread: one posts a key to Edit1 (a digit, then Backspace, and so
// on) and times it to the repaint of Edit1 that shows the new text; the other
// switches a board input (CTS, then DSR) and times it, through the port's
// event thread and the matching, to the repaint of the matching dialog's
// state label of output 3. Each probe waits for its answer before the next.
// Then the run is paused and resumed a few times and stopped, each click
// timed to its effect.
//
// "latch" mode: the time from one latch byte to the next at Edit1 = 1, through
// the Linux backend on a pseudo-terminal (a pty has no modem lines and refuses
// the open, which is reported; the lines are then the tests' model of a 16550
// driver's, tests/support/tty_model.c, and the latch bytes go through the
// kernel's pty), on the virtual board (the program's own pace, no device) and
// on the slow adapter model. Then the frame rate on that pty when its modelled
// 16550 takes a byte's time to send the latch (1.04 ms at 9600 8N1), next to
// one byte time plus a frame's line operations.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QInputDevice>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "app/windows.h"
#include "comport/serial_port.h"
#include "comport/sys/linux_platform.h"
#include "comport/sys/virtual_board.h"
#include "program/program.h"
#include "sequencer/frame.h"
#include "slow_port.h"
#include "support.h"
#include "support/recorded_messages.h"
#include "support/tty_model.h"
#include "ui/fonts.h"
#include "ui/resources.h"
#include "ui/string_grid.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kColumns = 64;
constexpr int kRunSeconds = 12;
constexpr auto kPerOperation = std::chrono::milliseconds(1);
constexpr long long kByteNs = 1'041'667;  // 10 bits at 9600 bit/s

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())) - 1);
  return values[std::min(rank, values.size() - 1)];
}

std::string spread(const std::vector<double>& values) {
  return bench::fixed(percentile(values, 50), 1) + " / " + bench::fixed(percentile(values, 99), 1) +
         " / " + bench::fixed(percentile(values, 100), 1) + " ms (" +
         std::to_string(values.size()) + ")";
}

// Runs the event loop for `milliseconds`, sleeping while it has nothing to do.
void settle(int milliseconds) {
  QEventLoop loop;
  QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// Output 3 is switched on by input 3 (DSR) and off by input 2 (CTS).
std::string matchingBytes() {
  std::string bytes(64, '\0');
  bytes[4 * 4] = 3;
  bytes[5 * 4] = 2;
  return bytes;
}

// One probe at a time: the prober starts it, the GUI thread answers it when
// the repaint that shows it comes; the prober then waits for the answer.
class Probe : public QObject {
 public:
  void start() {
    std::lock_guard lock(mutex_);
    started_ = Clock::now();
    open_ = true;
  }
  // GUI thread.
  void answer() {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    open_ = false;
    latencies_.push_back(ms(Clock::now() - started_));
    answered_.notify_all();
  }
  bool open() {
    std::lock_guard lock(mutex_);
    return open_;
  }
  bool waitAnswered(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (answered_.wait_for(lock, limit, [&] { return !open_; })) return true;
    open_ = false;  // lost: counted as the limit
    latencies_.push_back(ms(limit));
    return false;
  }
  std::vector<double> latencies() {
    std::lock_guard lock(mutex_);
    return latencies_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  Clock::time_point started_;
  bool open_ = false;
  std::vector<double> latencies_;
};

// A key's probe is answered by the first paint of Edit1 after its text changed.
class KeyProbe : public Probe {
 public:
  explicit KeyProbe(QLineEdit* edit) {
    edit->installEventFilter(this);
    connect(edit, &QLineEdit::textChanged, this, [this] { changed_ = true; });
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && changed_) {
      changed_ = false;
      answer();
    }
    return false;
  }

 private:
  bool changed_ = false;
};

// An input's probe is answered by the first paint of the label that shows the
// text it expects.
class LabelProbe : public Probe {
 public:
  explicit LabelProbe(QLabel* label) : label_(label) { label->installEventFilter(this); }
  void expect(const QString& text) {
    std::lock_guard lock(textMutex_);
    expected_ = text;
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      std::lock_guard lock(textMutex_);
      if (label_->text() == expected_) answer();
    }
    return false;
  }

 private:
  QLabel* label_;
  std::mutex textMutex_;
  QString expected_;
};

// The header row's colour as last painted.
class HeaderProbe : public Probe {
 public:
  HeaderProbe(QWidget* viewport, const sequencer::MainFormState& form) : form_(form) {
    viewport->installEventFilter(this);
  }
  void expect(table::Rgb color) { expected_.store(color); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && form_.fixedColor() == expected_.load()) answer();
    return false;
  }

 private:
  const sequencer::MainFormState& form_;
  std::atomic<std::uint32_t> expected_{0};
};

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int slowAdapter() {
  bench::TempDir dir;
  bench::writeTableFile(dir.path("table.txt"), kColumns, bench::Pattern::Random, "1");
  {
    std::ofstream settings(dir.path("Rilvet.dat"), std::ios::binary);
    settings << matchingBytes();
  }
  const auto virtualBoard = std::make_shared<sys::VirtualBoard>();
  bench::SlowPlatform adapter(*virtualBoard, kPerOperation);
  testing_support::RecordedMessages messages;
  app::Windows w(
      {dir.path("table.txt"), dir.path("Rilvet.dat"), virtualBoard, &adapter, &messages});
  ui::TForm1& form = *w.form1;
  auto& model = w.program;
  form.show();
  QElapsedTimer reveal;
  reveal.start();
  while (model.table().colCount() < kColumns + 1 && reveal.elapsed() < 30000) settle(50);
  form.BitBtn3Click();  // the matching dialog, whose labels show the inputs
  form.ComboBox1->setCurrentIndex(form.ComboBox1->findText(sys::kVirtualPort));
  form.BitBtn(1)->click();
  if (!model.player().SerialPort1().IsOpen()) {
    std::cerr << "the virtual board did not open\n";
    return 1;
  }
  settle(1000);

  KeyProbe keys(form.Edit1);
  LabelProbe inputs(w.form2->Label(23));
  HeaderProbe header(form.StringGrid1->viewport(), model.form());
  std::atomic<bool> running{true};
  sys::VirtualBoard& board = *w.board;

  const auto frames0 = board.state().framesLatched;
  const double cpu0 = threadCpuSeconds();
  const auto t0 = Clock::now();

  // Made here: a key event made on another thread would make it there.
  QInputDevice::primaryKeyboard();
  std::atomic<int> probers{2};
  std::thread keyThread([&] {
    std::mt19937 random(1);
    bool digit = true;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 40));
      if (!running.load()) break;
      keys.start();
      const auto key = digit ? Qt::Key_5 : Qt::Key_Backspace;
      const QString text = digit ? "5" : "";
      QCoreApplication::postEvent(form.Edit1,
                                  new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
      QCoreApplication::postEvent(form.Edit1,
                                  new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, text));
      digit = !digit;
      keys.waitAnswered(std::chrono::seconds(3));
    }
    --probers;
  });
  std::thread inputThread([&] {
    std::mt19937 random(2);
    bool cts = true;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60 + random() % 80));
      if (!running.load()) break;
      inputs.expect(cts ? "пассив" : "активн");
      inputs.start();
      if (cts) {
        board.setDsr(false);
        board.setCts(true);
      } else {
        board.setCts(false);
        board.setDsr(true);
      }
      cts = !cts;
      inputs.waitAnswered(std::chrono::seconds(3));
    }
    --probers;
  });

  settle(kRunSeconds * 1000);
  running.store(false);
  // The probers finish their last probe with the event loop still running.
  while (probers.load() > 0) settle(10);
  keyThread.join();
  inputThread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = threadCpuSeconds() - cpu0;
  const auto frames = board.state().framesLatched - frames0;

  // Pause and resume: each click to the header's new colour on the screen
  // (set by the next step). The clicks come from a thread of their own, at
  // moments that do not wait for the GUI thread.
  const auto clickFromOutside = [&](QPushButton* button, Probe& probe, int delayMs) {
    std::atomic<bool> posted{false};
    Clock::time_point at;
    std::thread clicker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      probe.start();
      at = Clock::now();
      QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
      posted.store(true);
    });
    while (!posted.load()) settle(1);
    clicker.join();
    return at;
  };
  for (int i = 0; i < 8; ++i) {
    header.expect(model.player().StepRunning() == 1 ? table::clYellow : table::clRed);
    clickFromOutside(form.BitBtn(1), header, 150 + 37 * i);
    QElapsedTimer wait;
    wait.start();
    while (header.open() && wait.elapsed() < 3000) settle(1);
  }
  // Stop, and start again, a few times: the stop click to the silver header
  // on the screen, to the all-off frame latched and to the port closed.
  HeaderProbe silver(form.StringGrid1->viewport(), model.form());
  std::vector<double> stopToLatch;
  std::vector<double> stopToClosed;
  for (int i = 0; i < 10; ++i) {
    silver.expect(table::clSilver);
    const auto stopAt = clickFromOutside(form.BitBtn(2), silver, 200 + 37 * i);
    QElapsedTimer wait;
    wait.start();
    bool closed = false;
    while (wait.elapsed() < 3000 && (silver.open() || !closed)) {
      settle(1);
      if (!closed && !board.state().open) {
        closed = true;
        stopToClosed.push_back(ms(Clock::now() - stopAt));
        stopToLatch.push_back(ms(board.state().lastLatch - stopAt));
      }
    }
    if (board.outputBits() != 0) {
      std::cerr << "the stop did not switch the outputs off\n";
      return 1;
    }
    if (i < 9) {
      form.BitBtn(1)->click();
      settle(100);
    }
  }

  const auto keyLatencies = keys.latencies();
  const auto inputLatencies = inputs.latencies();
  const auto headerLatencies = header.latencies();
  std::cout << "\nGoals\n";
  bench::info("slow adapter run", std::to_string(frames) + " steps latched in " +
                                      bench::fixed(seconds, 2) +
                                      " s, Edit1 = 1, every device operation " +
                                      std::to_string(kPerOperation.count()) + " ms (model)");
  bench::goal("slow adapter (1 ms/op): steps per second, Edit1 = 1", frames / seconds, "steps/s",
              bench::Cmp::AtLeast, 6.0, 2);
  bench::goal("slow adapter (1 ms/op): key to Edit1's repaint, 99th percentile",
              percentile(keyLatencies, 99), "ms", bench::Cmp::AtMost, 20.0, 1);
  bench::info("slow adapter: key to Edit1's repaint, median / p99 / worst (probes)",
              spread(keyLatencies));
  bench::goal("slow adapter (1 ms/op): board input to the matching label's repaint, p99",
              percentile(inputLatencies, 99), "ms", bench::Cmp::AtMost, 20.0, 1);
  bench::info("slow adapter: board input to the label's repaint, median / p99 / worst (probes)",
              spread(inputLatencies));
  bench::info(
      "slow adapter: pause/resume click to the header's colour (the next step's), "
      "median / p99 / worst",
      spread(headerLatencies));
  bench::goal("slow adapter (1 ms/op): stop click to the silver header on the screen, worst",
              percentile(silver.latencies(), 100), "ms", bench::Cmp::AtMost, 20.0, 1);
  bench::info("slow adapter: stop click to the silver header on the screen, median / p99 / worst",
              spread(silver.latencies()));
  bench::info("slow adapter: stop click to the all-off frame latched, median / p99 / worst",
              spread(stopToLatch));
  bench::info("slow adapter: stop click to the port closed, median / p99 / worst",
              spread(stopToClosed));
  bench::info("slow adapter: GUI thread CPU during the run",
              bench::fixed(100.0 * cpu / seconds, 1) + " % of a core");
  if (!messages.shown().isEmpty()) {
    std::cerr << "errors: " << messages.shown().join("; ").toStdString() << "\n";
    return 1;
  }
  form.close();
  return 0;
}

// The real program at Edit1 = 1 for `seconds`, its steps going out on the
// port `name` of `platform`, the latch bytes timed as the port takes them.
std::vector<double> latchIntervals(sys::Platform& platform, const std::string& name, int seconds) {
  bench::TempDir dir;
  bench::writeTableFile(dir.path("table.txt"), kColumns, bench::Pattern::Random, "1");
  bench::SlowPlatform port(platform, std::chrono::microseconds(0));
  testing_support::RecordedMessages messages;
  app::Windows w({dir.path("table.txt"), dir.path("Rilvet.dat"), nullptr, &port, &messages});
  ui::TForm1& form = *w.form1;
  form.show();
  QElapsedTimer reveal;
  reveal.start();
  while (w.program.table().colCount() < kColumns + 1 && reveal.elapsed() < 30000) settle(50);
  form.ComboBox1->setEditText(QString::fromStdString(name));
  form.BitBtn(1)->click();
  settle(500);
  const auto t0 = Clock::now();
  settle(seconds * 1000);
  const auto t1 = Clock::now();
  form.BitBtn(2)->click();
  settle(500);
  std::vector<double> intervals;
  Clock::time_point last{};
  for (const auto& t : port.writeTimes()) {
    if (t < t0 || t > t1) continue;
    if (last != Clock::time_point{}) intervals.push_back(ms(t - last));
    last = t;
  }
  if (!messages.shown().isEmpty()) {
    std::cerr << name << ": " << messages.shown().join("; ").toStdString() << "\n";
    intervals.clear();
  }
  form.close();
  return intervals;
}

// The median time of one step frame sent straight through the port `name`.
double frameMillis(sys::Platform& platform, const std::string& name, int frames) {
  comport::TSerialPort port(platform);
  port.setPort(name);
  port.OpenPort();
  sequencer::Frame frame;
  for (int k = 0; k < table::kChannels; ++k) frame.bits[k] = k % 3 == 0;
  std::vector<double> times;
  for (int i = 0; i < frames; ++i) {
    const auto start = Clock::now();
    sequencer::sendFrame(port, frame);
    times.push_back(ms(Clock::now() - start));
  }
  port.ClosePort();
  return percentile(times, 50);
}

// Reads what the program writes to the pty, so that its latch bytes never
// wait for room.
class PtyReader {
 public:
  explicit PtyReader(int master)
      : thread_([this, master] {
          char buffer[256];
          while (!done_.load()) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && read(master, buffer, sizeof buffer) < 0) break;
          }
        }) {}
  ~PtyReader() {
    done_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

int latches() {
  std::cout << "\nGoals\n";
  bench::Pty pty;
  // A machine with no serial port of its own: the list is empty, not unreadable.
  std::filesystem::create_directories(pty.sysDir() + "/class/tty");
  const auto linux = sys::makeLinuxPlatform(pty.devDir(), pty.sysDir(), pty.lockDir());
  {
    // As it is: a pty has no modem lines.
    comport::TSerialPort port(*linux);
    port.setPort("ttyBENCH");
    std::string outcome = "opens";
    try {
      port.OpenPort();
    } catch (const std::exception& e) {
      outcome = std::string("refused at the open: ") + e.what();
    }
    port.releasePort();
    bench::info("a pseudo-terminal on the Linux backend, as it is", outcome);
  }
  std::vector<double> onPty;
  std::vector<double> onUart;
  double frame = std::nan("");
  if (ttyModelAttach(pty.slave().c_str(), 1) == 0) {
    PtyReader reader(pty.master());
    onPty = latchIntervals(*linux, "ttyBENCH", 5);
    frame = frameMillis(*linux, "ttyBENCH", 500);
    ttyModelSetTransmitter(kByteNs);
    onUart = latchIntervals(*linux, "ttyBENCH", 5);
    ttyModelDetach();
  }
  bench::info(
      "latch to latch, Edit1 = 1, Linux backend on a pty (modem lines: a 16550 driver's model), "
      "median / p99 / worst",
      spread(onPty));
  const double byteMs = static_cast<double>(kByteNs) / 1e6;
  bench::info("a step frame's line operations and latch write on that pty, the byte free, median",
              bench::fixed(frame, 3) + " ms");
  bench::info(
      "latch to latch, Edit1 = 1, that pty with the model's 16550 transmitter (1.04 ms a byte), "
      "median / p99 / worst",
      spread(onUart));
  bench::goal(
      "frames/s, Edit1 = 1, model's 16550 transmitter: >= 1 / (1.2 x (byte time + line "
      "operations))",
      1000.0 / percentile(onUart, 50), "frames/s", bench::Cmp::AtLeast,
      1000.0 / (1.2 * (byteMs + frame)), 0);
  sys::VirtualBoard board;
  const auto onBoard = latchIntervals(board, sys::kVirtualPort, 5);
  bench::info("latch to latch, Edit1 = 1, virtual board (no device), median / p99 / worst",
              spread(onBoard));
  bench::SlowPlatform adapter(board, kPerOperation);
  const auto slow = latchIntervals(adapter, sys::kVirtualPort, 8);
  bench::info("latch to latch, Edit1 = 1, slow adapter model (1 ms/op), median / p99 / worst",
              spread(slow));
  return onPty.empty() || onUart.empty() || onBoard.empty() || slow.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ui::initResources();
  ui::installFontSubstitutes();
  const std::string mode = argc > 1 ? argv[1] : "answer";
  if (mode == "latch") return latches();
  if (mode != "answer") {
    std::cerr << "usage: " << argv[0] << " [answer|latch]\n";
    return 2;
  }
  return slowAdapter();
}
