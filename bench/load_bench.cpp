// A stored table of any size loaded by the whole program up to its window on
// the screen (offscreen platform): the process's peak resident memory and
// the time from the start of the windows' construction (the table is loaded
// there) to the main window shown. Files whose column bytes are "0"/"1" are
// compared with files of the same size made of every other byte a line can
// hold, which a hand-edited file may have.
//
// Each case runs in a process of its own (this program with "one COLUMNS
// KIND"), so that each peak is its own; the base is the program with an
// empty table.
//   rilvet_bench_load [MB …]   the sizes in MB, 1 5 25 100 250 by default
#include <QApplication>
#include <QProcess>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/windows.h"
#include "storage/table_file.h"
#include "support.h"
#include "support/recorded_messages.h"
#include "support/table_bytes.h"
#include "ui/fonts.h"
#include "ui/resources.h"

namespace {

// Every byte but NUL, CR and LF (which end the text or a line) and the two
// that a save writes.
std::vector<char> otherBytes() {
  std::vector<char> bytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\r' && b != '\n' && b != '0' && b != '1') bytes.push_back(static_cast<char>(b));
  }
  return bytes;
}

void writeFile(const std::string& name, long columns, bool other) {
  const std::vector<char> others = otherBytes();
  std::mt19937 random(48);
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  std::string line;
  for (int k = 1; k <= table::kChannels; ++k) {
    line = testing_support::channelPrefix(k);
    line.reserve(line.size() + static_cast<std::size_t>(columns) + 2);
    for (long c = 0; c < columns; ++c) {
      line += other ? others[random() % others.size()] : ((random() & 1) != 0 ? '1' : '0');
    }
    line += "\r\n";
    out << line;
  }
  out << testing_support::kIntervalPrefix << "100\r\n";
  if (!out.flush()) throw std::runtime_error("cannot write " + name);
}

double peakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6));
  }
  return std::nan("");
}

// One case: prints "RESULT <file bytes> <peak KiB> <ms to the window>".
int one(long columns, bool other) {
  bench::TempDir dir;
  const std::string table = dir.path("table.txt");
  writeFile(table, columns, other);
  const auto bytes = std::filesystem::file_size(table);
  // The file was written by this process: its peak starts again from here.
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
  }
  testing_support::RecordedMessages messages;
  const auto board = std::make_shared<sys::VirtualBoard>();
  const auto t0 = std::chrono::steady_clock::now();
  app::Windows windows(
      app::WindowsOptions{table, dir.path("Rilvet.dat"), board, board.get(), &messages});
  windows.form1->show();
  QCoreApplication::processEvents();
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const double peak = peakKiB();
  if (!messages.shown().isEmpty()) {
    std::cerr << "errors: " << messages.shown().join("; ").toStdString() << "\n";
    return 1;
  }
  std::cout << "RESULT " << bytes << ' ' << peak << ' ' << ms << std::endl;
  return 0;
}

struct Result {
  double mb = std::nan("");
  double peakMiB = std::nan("");
  double ms = std::nan("");
};

Result runCase(const QString& self, long columns, bool other) {
  QProcess child;
  child.start(self, {"one", QString::number(columns), other ? "other" : "01"});
  child.waitForFinished(-1);
  std::istringstream out(child.readAllStandardOutput().toStdString());
  std::string word;
  Result r;
  while (out >> word) {
    if (word != "RESULT") continue;
    double bytes = 0;
    double kib = 0;
    out >> bytes >> kib >> r.ms;
    r.mb = bytes / 1e6;
    r.peakMiB = kib / 1024.0;
  }
  if (child.exitCode() != 0) std::cerr << child.readAllStandardError().toStdString();
  return r;
}

int all(const QString& self, std::vector<double> sizesMb) {
  if (sizesMb.empty()) sizesMb = {1, 5, 25, 100, 250};
  const Result base = runCase(self, 0, false);
  std::cout << "\nGoals\n";
  bench::info("load: base (empty table), peak memory / time to the window",
              bench::fixed(base.peakMiB, 1) + " MiB / " + bench::fixed(base.ms, 0) + " ms");
  bool ok = !std::isnan(base.peakMiB);
  for (double mb : sizesMb) {
    // 48 lines of the 10-byte prefix, the columns and CR LF.
    const long columns = std::lround(mb * 1e6 / table::kChannels) - 12;
    const Result plain = runCase(self, columns, false);
    const Result other = runCase(self, columns, true);
    const std::string size = bench::fixed(plain.mb, 1) + " MB";
    for (const auto& [name, r] : {std::pair{"0/1 bytes", plain}, std::pair{"other bytes", other}}) {
      bench::info(std::string("load: ") + name + ", " + size + ": peak memory / time to the window",
                  bench::fixed(r.peakMiB, 1) + " MiB / " + bench::fixed(r.ms, 0) + " ms");
      ok &= bench::goal(std::string("load: ") + name + ", " + size +
                            ": peak memory above the base, per byte of the file",
                        (r.peakMiB - base.peakMiB) * 1048576.0 / (r.mb * 1e6), "x",
                        bench::Cmp::AtMost, 1.5);
    }
    ok &= bench::goal("load: other bytes / 0/1 bytes, " + size + ": time to the window",
                      other.ms / plain.ms, "x", bench::Cmp::AtMost, 1.5);
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc == 4 && std::strcmp(argv[1], "one") == 0) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ui::initResources();
    ui::installFontSubstitutes();
    return one(std::stol(argv[2]), std::strcmp(argv[3], "other") == 0);
  }
  QCoreApplication application(argc, argv);
  std::vector<double> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::stod(argv[i]));
  return all(QCoreApplication::applicationFilePath(), sizes);
}
