// The program's own work without a window: the step frame and the
// housekeeping tick on a port whose calls cost nothing, and the table file
// with 100 000 columns.
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "null_platform.h"
#include "program/program.h"
#include "sequencer/player.h"
#include "storage/table_file.h"
#include "support.h"
#include "support/sequencer_setup.h"

using testing_support::enableAllChannels;
using testing_support::putCells;

namespace {

constexpr int kFrameColumns = 64;
constexpr int kBigTable = 100000;
constexpr double kNativeFrameMicros = 300.0 + 1040.0;  // 144 line calls + the latch byte

// What a window would do with the changes: nothing, but the calls are made.
class CountingObserver : public sequencer::Observer {
 public:
  void changed(sequencer::Change, int) override { ++count; }
  std::uint64_t count = 0;
};

class Sink : public program::ErrorSink {
 public:
  void showError(const std::string& message) override { messages.push_back(message); }
  std::vector<std::string> messages;
};

// Grows the table column by column, as the housekeeping timer does, until it
// holds all its data and one trailing empty column.
template <typename Tick>
void reveal(const sequencer::SequenceTable& table, Tick tick) {
  for (;;) {
    const int before = table.colCount();
    tick();
    if (table.colCount() == before) break;
  }
}

void BM_StepFrame(benchmark::State& state) {
  bench::NullPlatform platform;
  sequencer::SequenceTable table;
  sequencer::MainFormState form;
  sequencer::Player player(platform, nullptr, table, form);
  CountingObserver observer;
  table.setObserver(&observer);
  form.setObserver(&observer);
  std::mt19937 random(1);
  const int columns = static_cast<int>(state.range(0));
  putCells(table, [&](table::CellStore& cells) {
    for (int c = 0; c < columns; ++c) {
      for (int k = 1; k <= table::kChannels; ++k) {
        cells.setCode(c, k, (random() & 1) ? table::CellStore::kOne : table::CellStore::kZero);
      }
    }
  });
  enableAllChannels(player);
  reveal(table, [&] { player.housekeepingTick(); });
  form.setComboText("NULL");
  player.startOrPause();  // opens the port and runs

  const std::uint64_t calls0 = platform.escapes() + platform.writes();
  for (auto _ : state) testing_support::stepTick(player);
  const double frames = static_cast<double>(state.iterations());
  state.counters["device_calls"] =
      static_cast<double>(platform.escapes() + platform.writes() - calls0) / frames;
  testing_support::stop(player);
}
BENCHMARK(BM_StepFrame)->ArgName("columns")->Arg(kFrameColumns)->MinTime(1.0);

void BM_Housekeeping(benchmark::State& state) {
  const int columns = static_cast<int>(state.range(0));
  const bool running = state.range(1) != 0;
  bench::TempDir dir;
  bench::writeTableFile(dir.path("table.txt"), columns);
  bench::NullPlatform platform;
  Sink errors;
  program::Program program(platform, nullptr, errors, dir.path("table.txt"),
                           dir.path("Rilvet.dat"));
  program.FormCreate();
  program.loadMatching();
  auto& player = program.player();
  reveal(program.table(), [&] { player.housekeepingTick(); });
  if (program.table().colCount() != columns + 1) state.SkipWithError("the table was not revealed");
  if (running) {
    program.form().setComboText("NULL");
    player.startOrPause();
  }
  player.housekeepingTick();  // the link state and the labels settle

  for (auto _ : state) player.housekeepingTick();

  if (running) testing_support::stop(player);
  if (!errors.messages.empty()) state.SkipWithError(errors.messages.front().c_str());
}
BENCHMARK(BM_Housekeeping)
    ->ArgNames({"columns", "running"})
    ->ArgsProduct({{10, kBigTable}, {0, 1}})
    ->MinTime(0.5);

void BM_LoadTable(benchmark::State& state) {
  bench::TempDir dir;
  const std::string file = dir.path("table.txt");
  bench::writeTableFile(file, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto lines = std::make_unique<storage::KeptLines>();
    auto cells = std::make_unique<table::CellStore>();
    std::string interval = "100";
    const auto result =
        storage::LoadTable(storage::systemSaveCalls(), file, *lines, *cells, interval);
    benchmark::DoNotOptimize(result.columns);
    state.PauseTiming();
    lines.reset();
    cells.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_LoadTable)
    ->ArgName("columns")
    ->Arg(kBigTable)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

void BM_Sohr(benchmark::State& state) {
  bench::TempDir dir;
  const std::string file = dir.path("table.txt");
  const int columns = static_cast<int>(state.range(0));
  bench::writeTableFile(file, columns);
  storage::KeptLines lines;
  table::CellStore cells;
  std::string interval = "100";
  storage::SaveCalls& saves = storage::systemSaveCalls();
  storage::LoadTable(saves, file, lines, cells, interval);
  for (auto _ : state) storage::Sohr(saves, file, lines, cells, columns, interval);
}
BENCHMARK(BM_Sohr)
    ->ArgName("columns")
    ->Arg(kBigTable)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// A 100 000-column table of ones on a diagonal, straight in the cell store.
std::unique_ptr<sequencer::SequenceTable> bigModel() {
  auto model = std::make_unique<sequencer::SequenceTable>();
  putCells(*model, [](table::CellStore& cells) {
    for (int c = 0; c < kBigTable; ++c) cells.setCode(c, 1 + c % 48, table::CellStore::kOne);
  });
  model->setColCount(kBigTable + 1);
  return model;
}

// A click's toggle and its undo.
void BM_ToggleUndo(benchmark::State& state) {
  auto model = bigModel();
  int col = 0;
  for (auto _ : state) {
    col = (col + 7919) % kBigTable;
    model->setCell(col, 5, model->cells().isOne(col, 5) ? "" : "1");
    model->undo();
  }
}
BENCHMARK(BM_ToggleUndo)->MinTime(0.5);

// Ctrl+D on the first step of a 100 000-column table (every later step
// moves) and Ctrl+Z.
void BM_DuplicateUndo(benchmark::State& state) {
  auto model = bigModel();
  for (auto _ : state) {
    model->duplicateColumn(0);
    model->undo();
  }
}
BENCHMARK(BM_DuplicateUndo)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// "Да" on a 100 000-column table and its undo.
void BM_ClearUndo(benchmark::State& state) {
  auto model = bigModel();
  for (auto _ : state) {
    model->clearChannels(kBigTable);
    model->undo();
  }
}
BENCHMARK(BM_ClearUndo)->Unit(benchmark::kMillisecond)->MinTime(1.0);

std::size_t heapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// The cell store of a 100 000-column table, as it reports itself and as the
// heap sees it (in use with it, minus in use once it is gone).
void reportCellStoreMemory() {
  bench::TempDir dir;
  const std::string file = dir.path("table.txt");
  bench::writeTableFile(file, kBigTable);
  storage::KeptLines lines;
  auto cells = std::make_unique<table::CellStore>();
  std::string interval = "100";
  storage::LoadTable(storage::systemSaveCalls(), file, lines, *cells, interval);
  const double reported = static_cast<double>(cells->memoryBytes()) / (1024.0 * 1024.0);
  const std::size_t with = heapInUse();
  cells.reset();
  const std::size_t without = heapInUse();
  const double measured = static_cast<double>(with - without) / (1024.0 * 1024.0);
  bench::goal("cell store, 100 000 columns (memoryBytes)", reported, "MiB", bench::Cmp::AtMost,
              16.0);
  bench::goal("cell store, 100 000 columns (heap measured)", measured, "MiB", bench::Cmp::AtMost,
              16.0);
}

// The undo history after 10 000 toggles on a 100 000-column table, and with
// a clear of the whole table on top: as it counts itself and as the heap
// sees it.
void reportHistoryMemory() {
  auto model = bigModel();
  const std::size_t before = heapInUse();
  for (int i = 0; i < 10000; ++i) {
    const int col = (i * 7919) % kBigTable;
    const int row = 1 + i % 48;
    model->setCell(col, row, model->cells().isOne(col, row) ? "" : "1");
  }
  const double mib = 1024.0 * 1024.0;
  bench::goal("undo history, 10 000 toggles (memoryBytes)",
              static_cast<double>(model->history().memoryBytes()) / mib, "MiB", bench::Cmp::AtMost,
              1.0, 2);
  bench::goal("undo history, 10 000 toggles (heap measured)",
              static_cast<double>(heapInUse() - before) / mib, "MiB", bench::Cmp::AtMost, 1.0, 2);
  model->clearChannels(kBigTable - 1);
  bench::info("undo history, + clear of 100 000 columns (memoryBytes)",
              bench::fixed(static_cast<double>(model->history().memoryBytes()) / mib, 2) + " MiB");
}

}  // namespace

int main(int argc, char** argv) {
  bench::Capture capture;
  if (!bench::runBenchmarks(argc, argv, capture)) return 2;

  std::cout << "\nGoals\n";
  const double frame = capture.micros("BM_StepFrame/columns:64");
  bench::goal("step frame, sequencer only (null port)", frame, "us", bench::Cmp::AtMost, 2.0, 3);
  bench::info("step frame: device calls per frame",
              bench::fixed(capture.counter("BM_StepFrame/columns:64", "device_calls"), 0));
  bench::info("step frame, sequencer only: share of a native-UART frame (1.34 ms)",
              bench::fixed(100.0 * frame / kNativeFrameMicros, 3) + " %");

  double small[2] = {0, 0};
  for (int running = 0; running <= 1; ++running) {
    const std::string state = running ? "running" : "stopped";
    for (int columns : {10, kBigTable}) {
      const std::string name = "BM_Housekeeping/columns:" + std::to_string(columns) +
                               "/running:" + std::to_string(running);
      const double us = capture.micros(name);
      bench::goal("housekeeping tick, " + std::to_string(columns) + " columns, " + state, us, "us",
                  bench::Cmp::AtMost, 20.0, 3);
      if (columns == 10) {
        small[running] = us;
      } else {
        bench::goal("housekeeping tick, " + state + ": 100 000 / 10 columns", us / small[running],
                    "x", bench::Cmp::AtMost, 2.0);
      }
    }
  }

  bench::goal("LoadTable, 100 000 columns", capture.micros("BM_LoadTable/columns:100000") / 1000.0,
              "ms", bench::Cmp::AtMost, 150.0, 1);
  bench::goal("Sohr, 100 000 columns", capture.micros("BM_Sohr/columns:100000") / 1000.0, "ms",
              bench::Cmp::AtMost, 150.0, 1);
  reportCellStoreMemory();

  bench::goal("toggle and its undo, 100 000 columns", capture.micros("BM_ToggleUndo"), "us",
              bench::Cmp::AtMost, 5.0, 3);
  bench::goal("duplicate of step 1 and its undo, 100 000 columns",
              capture.micros("BM_DuplicateUndo") / 1000.0, "ms", bench::Cmp::AtMost, 16.0, 2);
  bench::goal("clear and its undo, 100 000 columns", capture.micros("BM_ClearUndo") / 1000.0, "ms",
              bench::Cmp::AtMost, 100.0, 1);
  reportHistoryMemory();
  return 0;
}
