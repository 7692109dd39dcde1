// What every benchmark program shares: a scratch folder, table files of any
// size, and the goal lines that scripts/bench.sh gathers into its summary.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/pty_pair.h"
#include "support/temp_folder.h"

namespace bench {

// A fresh folder under $RILVET_BENCH_DIR (or the system's temporary folder),
// removed with everything in it at the end.
class TempDir : public testing_support::TempFolder {
 public:
  TempDir();
};

// A pseudo-terminal of our own, its slave linked as "ttyBENCH" in a device
// folder of ours (and an empty sysfs beside it), so that the Linux backend
// opens it by that name.
class Pty {
 public:
  Pty();

  int master() const { return pair_.master(); }
  const std::string& slave() const { return pair_.slave(); }
  std::string devDir() const { return dir_.path("dev"); }
  std::string sysDir() const { return dir_.path("sys"); }
  std::string lockDir() const { return dir_.path("lock"); }  // missing: no lock files

 private:
  TempDir dir_;
  testing_support::PtyPair pair_;
};

enum class Pattern {
  Random,       // every cell on or off at random (seeded: every run plays the same table)
  Alternating,  // all channels on in even columns, all off in odd ones
};

// Writes a table file of `columns` step columns with the interval `interval`.
void writeTableFile(const std::string& fileName, int columns, Pattern pattern = Pattern::Random,
                    const std::string& interval = "100");

enum class Cmp { AtMost, AtLeast };

// Prints the figure next to its goal as a line for the summary
// ("@goal<TAB>name<TAB>figure<TAB>goal<TAB>met|MISSED"); returns whether it
// is met. A NaN figure (not measured) counts as missed.
bool goal(const std::string& name, double value, const std::string& unit, Cmp cmp, double limit,
          int decimals = 2);
// A figure without a goal of its own, for the summary.
void info(const std::string& name, const std::string& figure);
std::string fixed(double value, int decimals);

// The console reporter, keeping every run it reports so that the program can
// compare them with their goals at the end.
class Capture : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;

  // The run of that name ("BM_Frame/columns:64", with or without the
  // options the library appends), or nullptr.
  const Run* find(const std::string& name) const;
  // Wall time per iteration in microseconds; NaN for a run that was left out
  // or failed.
  double micros(const std::string& name) const;
  double counter(const std::string& name, const std::string& counter) const;

 private:
  std::map<std::string, Run> runs_;
};

// Runs the registered benchmarks with `capture`; returns false when the
// command line had arguments neither we nor the library know.
bool runBenchmarks(int argc, char** argv, Capture& capture);

}  // namespace bench
