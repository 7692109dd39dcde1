#include "support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>

#include "storage/table_file.h"
#include "support/table_bytes.h"

namespace bench {

namespace {

std::filesystem::path benchRoot() {
  const char* base = std::getenv("RILVET_BENCH_DIR");
  return base && *base ? std::filesystem::path(base) : std::filesystem::path();
}

}  // namespace

TempDir::TempDir() : TempFolder(benchRoot()) {}

Pty::Pty() {
  std::filesystem::create_directories(devDir());
  std::filesystem::create_directories(sysDir());
  std::filesystem::create_symlink(slave(), devDir() + "/ttyBENCH");
}

void writeTableFile(const std::string& fileName, int columns, Pattern pattern,
                    const std::string& interval) {
  std::mt19937 random(48);
  storage::TableLines lines;
  for (int k = 1; k <= table::kChannels; ++k) {
    std::string line = testing_support::channelPrefix(k);
    line.reserve(line.size() + static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      const bool on = pattern == Pattern::Random ? (random() & 1) != 0 : c % 2 == 0;
      line += on ? '1' : '0';
    }
    lines.push_back(std::move(line));
  }
  lines.push_back(testing_support::kIntervalPrefix + interval);
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out << storage::joinLines(lines);
  if (!out.flush()) throw std::runtime_error("cannot write " + fileName);
}

std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

bool goal(const std::string& name, double value, const std::string& unit, Cmp cmp, double limit,
          int decimals) {
  // NaN: the benchmark was left out (--benchmark_filter) or failed.
  if (std::isnan(value)) {
    std::cout << "@goal\t" << name << "\tnot measured\t-\tMISSED" << std::endl;
    return false;
  }
  const bool met = cmp == Cmp::AtMost ? value <= limit : value >= limit;
  const std::string figure = fixed(value, decimals) + " " + unit;
  const std::string target = std::string(cmp == Cmp::AtMost ? "<= " : ">= ") +
                             fixed(limit, limit == static_cast<long>(limit) ? 0 : decimals) + " " +
                             unit;
  std::cout << "@goal\t" << name << '\t' << figure << '\t' << target << '\t'
            << (met ? "met" : "MISSED") << std::endl;
  return met;
}

void info(const std::string& name, const std::string& figure) {
  std::cout << "@info\t" << name << '\t' << figure << "\t-\t-" << std::endl;
}

void Capture::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& r : runs) runs_[r.benchmark_name()] = r;
}

const Capture::Run* Capture::find(const std::string& name) const {
  // The library adds the run's options to its name ("/min_time:1.000",
  // "/real_time"); the name given may leave them out. Of a repeated
  // benchmark, the median of the repetitions stands for it.
  const Run* plain = nullptr;
  for (const auto& [full, r] : runs_) {
    if (r.run_name.str() != name && full.rfind(name + "/", 0) != 0) continue;
    if (r.run_type == Run::RT_Aggregate) {
      if (r.aggregate_name == "median") return &r;
    } else if (!plain) {
      plain = &r;
    }
  }
  return plain;
}

double Capture::micros(const std::string& name) const {
  const Run* r = find(name);
  if (!r || r->error_occurred) return std::nan("");
  // Seconds per iteration, whatever time unit the run is shown in.
  return r->GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r->time_unit) * 1e6;
}

double Capture::counter(const std::string& name, const std::string& counter) const {
  const Run* r = find(name);
  if (!r || r->error_occurred) return std::nan("");
  const auto it = r->counters.find(counter);
  return it == r->counters.end() ? std::nan("") : static_cast<double>(it->second);
}

bool runBenchmarks(int argc, char** argv, Capture& capture) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
  benchmark::RunSpecifiedBenchmarks(&capture);
  benchmark::Shutdown();
  return true;
}

}  // namespace bench
