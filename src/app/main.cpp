// Rilvet-48: plays a 48-channel on/off sequence on a board of six chained
// 74HC595 shift registers hung on a serial port.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "app/command_line.h"
#include "app/files_claim.h"
#include "app/windows.h"
#include "inputs/settings_file.h"
#include "storage/table_file.h"
#include "ui/accessibility.h"
#include "ui/fonts.h"
#include "ui/resources.h"
#include "ui/support/picture.h"
#include "ui/termination.h"

int main(int argc, char** argv) {
  // Our options come first: --help and --version answer without a display
  // and without touching any file.
  const app::CommandLine options = app::parseCommandLine(app::programArguments(argc, argv));
  switch (options.action) {
    case app::CommandLine::Action::kHelp: std::fputs(app::helpText().c_str(), stdout); return 0;
    case app::CommandLine::Action::kVersion:
      std::fputs(app::versionText().c_str(), stdout);
      return 0;
    case app::CommandLine::Action::kError:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", app::kProgramName, options.error.c_str(),
                   app::kProgramName);
      return 2;
    case app::CommandLine::Action::kRun: break;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName("Rilvet-48");
  QApplication::setApplicationVersion(app::versionNumber());
  QGuiApplication::setDesktopFileName(RILVET_DESKTOP_ID);
  QApplication::setQuitOnLastWindowClosed(false);
  ui::initResources();
  ui::installFontSubstitutes();
  ui::installAccessibility();
  QApplication::setWindowIcon(QIcon(ui::transparentPicture(":/app_icon.bmp")));

  // Started from the menu the program gets a folder of its own; from a shell
  // it works in the current folder.
  if (options.defaultDataFolder || !options.dataFolder.empty()) {
    const std::string folder =
        options.defaultDataFolder ? app::dataFolderIn(app::homeFolder()) : options.dataFolder;
    try {
      app::enterDataFolder(folder);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", app::kProgramName, e.what());
      QMessageBox::critical(nullptr, "Rilvet-48", QString::fromStdString(e.what()));
      return 1;
    }
  }

  // The files are opened by their bare names, in the current folder. Another
  // instance working on them there ends this one before anything is loaded.
  const app::FilesClaim claim(storage::kTableFileName, inputs::kSettingsFileName);
  if (!claim.refusal().empty()) {
    QMessageBox::critical(nullptr, "Rilvet-48", QString::fromStdString(claim.refusal()));
    return 1;
  }
  app::Windows windows({storage::kTableFileName, inputs::kSettingsFileName, nullptr, nullptr});
  QObject::connect(windows.form1.get(), &ui::TForm1::closed, &application, &QApplication::quit,
                   Qt::QueuedConnection);
  // A signal or a lost display closes the window's way too.
  ui::Termination termination(*windows.form1);
  windows.form1->show();
  return application.exec();
}
