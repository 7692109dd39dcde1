// Linked into the real program (src/app/main.cpp) for the tests that end it
// from outside (ending_test.cpp): plays the user's part and reports what the
// virtual board saw. Once the windows are up it chooses the port "VIRTUAL",
// presses Start, lets the steps play, changes the step interval and a box of
// the matching dialog, and prints "RUNNING". With RILVET_DRIVER_FAIL_SAVE set
// a folder takes the table file's place, so that the table's save at exit
// fails (the real main() saves through the system's own calls); a message
// box that shows up is reported on stdout as "BOX <frames latched> <port
// open> <last latch>". When the process ends by exit(), the board's state
// goes to the file named by RILVET_DRIVER_REPORT.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "storage/table_file.h"
#include "ui/board_window.h"
#include "ui/main_window.h"
#include "ui/matching_dialog.h"

namespace {

constexpr int kFramesBeforeRunning = 20;

std::shared_ptr<sys::VirtualBoard> board;

template <typename Window>
Window* findWindow() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<Window*>(w)) return found;
  }
  return nullptr;
}

void report() {
  const char* path = std::getenv("RILVET_DRIVER_REPORT");
  if (!board || !path) return;
  std::FILE* out = std::fopen(path, "w");
  if (!out) return;
  const auto stats = board->state();
  std::fprintf(out, "latched %llu\nopen %d\noutputs %llx\nhistory",
               static_cast<unsigned long long>(stats.framesLatched), board->state().open ? 1 : 0,
               static_cast<unsigned long long>(board->outputBits()));
  for (const std::uint64_t frame : board->history()) {
    std::fprintf(out, " %llx", static_cast<unsigned long long>(frame));
  }
  std::fprintf(out, "\n");
  std::fclose(out);
}

void watchForBoxes() {
  auto* timer = new QTimer(qApp);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box || !box->isVisible()) continue;
      const auto history = board->history();
      std::printf("BOX %llu %d %llx\n",
                  static_cast<unsigned long long>(board->state().framesLatched),
                  board->state().open ? 1 : 0,
                  static_cast<unsigned long long>(history.empty() ? ~0ull : history.back()));
      std::fflush(stdout);
      timer->stop();
      return;
    }
  });
  timer->start();
}

void drive() {
  auto* form = findWindow<ui::TForm1>();
  auto* boardWindow = findWindow<ui::BoardWindow>();
  auto* matching = findWindow<ui::TForm2>();
  if (!form || !boardWindow || !matching) {
    std::fprintf(stderr, "driver: the windows are not there\n");
    std::exit(3);
  }
  board = boardWindow->board();
  board->keepHistory(1u << 16);
  form->ComboBox1->setCurrentIndex(form->ComboBox1->findText("VIRTUAL"));
  form->BitBtn(1)->click();
  auto* poll = new QTimer(qApp);
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, form, matching] {
    if (board->state().framesLatched < kFramesBeforeRunning) return;
    poll->stop();
    form->Edit1->setText("9");
    matching->ComboBox(16)->setCurrentIndex(3);
    if (std::getenv("RILVET_DRIVER_FAIL_SAVE")) {
      std::filesystem::remove(storage::kTableFileName);
      std::filesystem::create_directory(storage::kTableFileName);
      watchForBoxes();
    }
    std::printf("RUNNING\n");
    std::fflush(stdout);
  });
  poll->start();
}

void start() {
  std::atexit(report);
  QTimer::singleShot(0, qApp, drive);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
