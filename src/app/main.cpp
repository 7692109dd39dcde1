// Rilvet-48: plays a 48-channel on/off sequence on a board of six chained
// 74HC595 shift registers hung on a serial port.
#include <QApplication>
#include <QMessageBox>

#include "app/files_claim.h"
#include "inputs/settings_file.h"
#include "storage/table_file.h"
#include "ui/fonts.h"
#include "ui/resources.h"
#include "ui/support/picture.h"
#include "ui/windows.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Rilvet-48");
  QApplication::setQuitOnLastWindowClosed(false);
  ui::initResources();
  ui::installFontSubstitutes();
  QApplication::setWindowIcon(QIcon(ui::transparentPicture(":/app_icon.bmp")));

  // The files are opened by their bare names, in the current folder. Another
  // instance working on them there ends this one before anything is loaded.
  const app::FilesClaim claim(storage::kTableFileName, inputs::kSettingsFileName);
  if (!claim.refusal().empty()) {
    QMessageBox::critical(nullptr, "Rilvet-48", QString::fromStdString(claim.refusal()));
    return 1;
  }
  ui::Windows windows({storage::kTableFileName, inputs::kSettingsFileName, true});
  QObject::connect(windows.form1.get(), &ui::TForm1::closed, &application, &QApplication::quit,
                   Qt::QueuedConnection);
  windows.form1->show();
  return application.exec();
}
