// The main window's share of a step, and scrolling a long table: a real
// TForm1 on Qt's offscreen platform, its port on the null platform so that
// only the program and Qt's drawing are timed.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QScrollBar>
#include <algorithm>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "null_platform.h"
#include "program/program.h"
#include "support.h"
#include "support/recorded_messages.h"
#include "ui/error_display.h"
#include "ui/fonts.h"
#include "ui/main_window.h"
#include "ui/qt_invoker.h"
#include "ui/repaint_throttle.h"
#include "ui/resources.h"

namespace {

constexpr int kTickColumns = 64;
constexpr int kBigTable = 100000;
constexpr int kWindowWidth = 1920;  // outer width, frame included
constexpr double kNativeFrameMicros = 300.0 + 1040.0;

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
  std::uint64_t paints = 0;
};

// The main window as the program builds it, on a table file of its own.
class Rig {
 public:
  Rig(int columns, bench::Pattern pattern) {
    bench::writeTableFile(dir_.path("table.txt"), columns, pattern);
    program_ = std::make_unique<program::Program>(platform_, &invoker_, errors_,
                                                  dir_.path("table.txt"), dir_.path("Rilvet.dat"));
    form_ = std::make_unique<ui::TForm1>(*program_, &errors_);
    form_->show();
    form_->resize(kWindowWidth - form_->frameWidth(), form_->height());
    settle();
    // Only the benchmark ticks.
    form_->Timer2->stop();
    // The housekeeping tick reveals the loaded table one column a tick.
    for (;;) {
      const int before = program_->table().colCount();
      form_->program().Narahiv();
      if (program_->table().colCount() == before) break;
    }
    settle();
  }

  ui::TForm1& form() { return *form_; }
  bench::NullPlatform& platform() { return platform_; }
  const QStringList& errors() const { return messages_.shown(); }

  // Starts the run; the step timer is kept from firing by a long interval, so
  // every tick is the benchmark's.
  void start() {
    form_->Edit1->setText("1000000");
    form_->program().Narahiv();
    form_->BitBtn(1)->click();
    settle();
  }
  void stop() {
    form_->BitBtn(2)->click();
    settle();
  }

  static void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

 private:
  bench::TempDir dir_;
  bench::NullPlatform platform_;
  ui::QtInvoker invoker_;
  testing_support::RecordedMessages messages_;
  ui::ErrorDisplay errors_{nullptr, messages_};
  std::unique_ptr<program::Program> program_;
  std::unique_ptr<ui::TForm1> form_;
};

// One step tick as the timer runs it, then everything it made Qt draw. Kept
// out of line so that a profiler can be pointed at it
// (valgrind --tool=callgrind --toggle-collect='*tickAndDraw*').
[[gnu::noinline]] void tickAndDraw(ui::TForm1& form, bool draw) {
  emit form.Timer1->timeout();
  if (draw) QCoreApplication::processEvents();
}

void formTick(benchmark::State& state, bench::Pattern pattern, bool draw,
              bool everyRepaint = false) {
  Rig rig(kTickColumns, pattern);
  if (everyRepaint) rig.form().repaintThrottle().setPeriod(0);
  rig.start();
  PaintCounter indicatorPaints;
  PaintCounter gridPaints;
  rig.form().Label(1)->installEventFilter(&indicatorPaints);
  rig.form().StringGrid1->viewport()->installEventFilter(&gridPaints);
  for (auto _ : state) tickAndDraw(rig.form(), draw);
  Rig::settle();
  const double ticks = static_cast<double>(state.iterations());
  state.counters["ind1_paints"] = static_cast<double>(indicatorPaints.paints) / ticks;
  state.counters["grid_paints"] = static_cast<double>(gridPaints.paints) / ticks;
  rig.stop();
  if (!rig.errors().isEmpty()) state.SkipWithError(rig.errors().front().toStdString().c_str());
}

void BM_FormTick_AllChange(benchmark::State& state) {
  formTick(state, bench::Pattern::Alternating, true);
}
void BM_FormTick_Random(benchmark::State& state) {
  formTick(state, bench::Pattern::Random, true);
}
// Every tick painted at once, as if the screen could show each step: the
// cost of one repaint of what a step changes.
void BM_FormTick_EveryRepaint(benchmark::State& state) {
  formTick(state, bench::Pattern::Alternating, true, true);
}
void BM_FormTick_NoDrawing(benchmark::State& state) {
  formTick(state, bench::Pattern::Alternating, false);
}
BENCHMARK(BM_FormTick_AllChange)->MinTime(0.3)->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(BM_FormTick_Random)->MinTime(0.3)->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(BM_FormTick_EveryRepaint)->MinTime(0.3)->Repetitions(5)->DisplayAggregatesOnly(true);
BENCHMARK(BM_FormTick_NoDrawing)->MinTime(0.3)->Repetitions(5)->DisplayAggregatesOnly(true);

// Built once, and gone before the application: revealing 100 000 columns
// takes a while.
std::unique_ptr<Rig> bigTable;

// Scrolls a 100 000-column table to positions all over it and repaints the
// visible cells at each.
void BM_GridScroll(benchmark::State& state) {
  if (!bigTable) bigTable = std::make_unique<Rig>(kBigTable, bench::Pattern::Random);
  // Each repaint is timed on its own, so none may wait for the next period.
  bigTable->form().repaintThrottle().setPeriod(0);
  ui::StringGridView* grid = bigTable->form().StringGrid1;
  const int last = grid->horizontalScrollBar()->maximum();
  std::mt19937 random(7);
  std::vector<int> positions = {0, last};
  for (int i = 0; i < 98; ++i) positions.push_back(static_cast<int>(random() % (last + 1)));

  double worst = 0;
  double total = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    QElapsedTimer clock;
    clock.start();
    grid->setLeftCol(positions[i++ % positions.size()]);
    grid->viewport()->repaint();
    const double seconds = static_cast<double>(clock.nsecsElapsed()) * 1e-9;
    state.SetIterationTime(seconds);
    worst = std::max(worst, seconds);
    total += seconds;
  }
  state.counters["worst_ms"] = worst * 1e3;
  state.counters["columns_shown"] = grid->visibleColumns();
  state.counters["grid_width"] = grid->width();
}
BENCHMARK(BM_GridScroll)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(500);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ui::initResources();
  ui::installFontSubstitutes();

  bench::Capture capture;
  if (!bench::runBenchmarks(argc, argv, capture)) return 2;
  bigTable.reset();

  std::cout << "\nGoals\n";
  // The window is painted at most once per repaint period, so at the fastest
  // step rate (1 ms) one step in (period / 1 ms) pays for a repaint.
  const double tick = capture.micros("BM_FormTick_NoDrawing");
  const double repaintedTick = capture.micros("BM_FormTick_EveryRepaint");
  const double stepsPerRepaint = ui::TForm1::kRepaintPeriodMs / 1.0;
  const double atFullRate = tick + (repaintedTick - tick) / stepsPerRepaint;
  bench::goal("step tick + repaint of 48 indicators, per step at 1 000 steps/s", atFullRate, "us",
              bench::Cmp::AtMost, 30.0, 1);
  bench::goal("our share of a native-UART frame (per step at 1 000 steps/s / 1.34 ms)",
              100.0 * atFullRate / kNativeFrameMicros, "%", bench::Cmp::AtMost, 3.0);
  bench::info("step tick, every step repainted at once (one repaint of a step's changes)",
              bench::fixed(repaintedTick, 1) + " us");
  bench::info("step tick in the event loop, steps back to back (repaints at most every " +
                  std::to_string(ui::TForm1::kRepaintPeriodMs) + " ms)",
              bench::fixed(capture.micros("BM_FormTick_AllChange"), 1) + " us");
  bench::info("the same, random table",
              bench::fixed(capture.micros("BM_FormTick_Random"), 1) + " us");
  bench::info("step tick without drawing (handlers and the changes they post)",
              bench::fixed(tick, 1) + " us");
  bench::goal("table scroll + repaint, 100 000 columns, mean",
              capture.micros("BM_GridScroll") / 1000.0, "ms", bench::Cmp::AtMost, 16.0);
  bench::goal("table scroll + repaint, 100 000 columns, worst",
              capture.counter("BM_GridScroll", "worst_ms"), "ms", bench::Cmp::AtMost, 16.0);
  return 0;
}
