// The secondary windows: the matching dialog, the clear-table confirmation,
// the about box, and the help button.
#include <QComboBox>
#include <QLabel>
#include <QTextBrowser>

#include "support/sequencer_setup.h"
#include "ui/support/help_viewer.h"
#include "ui_harness.h"

using testing_support::putCell;
using testing_support::setChannelEnabled;

using ui_testing::Harness;

namespace {

QByteArray settingsBytes(std::initializer_list<std::pair<int, int>> boxes) {
  QByteArray bytes(64, '\0');
  for (auto [box, value] : boxes) {
    for (int i = 0; i < 4; ++i) bytes[(box - 1) * 4 + i] = static_cast<char>(value >> (8 * i));
  }
  return bytes;
}

int visibleWindowsNamed(const QString& name) {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible() && w->objectName() == name) ++n;
  }
  return n;
}

QString cell(Harness& h, int col, int row) {
  return QString::fromStdString(h.table().cells().text(col, row));
}

struct Recorder : program::ErrorSink {
  std::vector<std::string> messages;
  void showError(const std::string& m) override { messages.push_back(m); }
};

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  // ---------------------------------------------------------- matching dialog

  void matchingDialogLayout() {
    Harness h;
    ui::TForm2& d = *h.windows->form2;
    QCOMPARE(d.windowTitle(), QString("Согласование входов и выходов"));
    QCOMPARE(d.size(), QSize(ui::TForm2::kClientWidth, ui::TForm2::kClientHeight));
    QCOMPARE(d.minimumSize(), d.maximumSize());
    for (int k = 1; k <= 8; ++k) {
      const int x = 80 + 56 * (k - 1);
      QCOMPARE(d.ComboBox(2 * k - 1)->geometry(), QRect(x, 56, 49, 21));
      QCOMPARE(d.ComboBox(2 * k)->geometry(), QRect(x, 80, 49, 21));
      QCOMPARE(d.Label(20 + k)->geometry(), QRect(x, 106, 48, 16));
      auto* heading = d.findChild<QLabel*>(QString("Label%1").arg(5 + k));
      QVERIFY(heading);
      QCOMPARE(heading->text(), QString("Выход %1").arg(k));
      QCOMPARE(heading->pos(), QPoint(x, 40));
    }
    QComboBox* box = d.ComboBox(1);
    QCOMPARE(box->count(), 4);
    QCOMPARE(box->itemText(0), QString("нет"));
    QCOMPARE(box->itemText(3), QString("вх3"));
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(d.Button1->text(), QString("ОК"));
    QCOMPARE(d.Button1->geometry(), QRect(232, 128, 75, 25));
    QCOMPARE(d.findChild<QLabel*>("Label3")->text(), QString("Включение"));
    QCOMPARE(d.findChild<QLabel*>("Label4")->text(), QString("Отключение"));
    QCOMPARE(d.findChild<QLabel*>("Label1")->text(),
             QString("Определите входы, сигналы с которых"));
    // As designed until the first paint: alternating states.
    QCOMPARE(d.Label(21)->text(), QString("активн"));
    QCOMPARE(d.Label(22)->text(), QString("пассив"));
  }

  void matchingDialogShowsTheStoredChoicesAndTheStates() {
    Harness h(QByteArray(), settingsBytes({{1, 2}, {2, 3}, {16, 7}}));
    ui::TForm2& d = *h.windows->form2;
    QCOMPARE(d.ComboBox(1)->currentText(), QString("вх2"));
    QCOMPARE(d.ComboBox(2)->currentText(), QString("вх3"));
    QCOMPARE(d.ComboBox(3)->currentText(), QString("нет"));
    QCOMPARE(d.ComboBox(16)->currentIndex(), -1);
    setChannelEnabled(h.player(), 3, 0);
    h.windows->program.matching().indikator();
    for (int k = 1; k <= 8; ++k) {
      QLabel* label = d.Label(20 + k);
      const bool passive = k == 3;
      QCOMPARE(label->text(), QString(passive ? "пассив" : "активн"));
      QCOMPARE(label->palette().color(QPalette::Window),
               passive ? QColor(0x00, 0xFF, 0xFF) : QColor(0xFF, 0x00, 0xFF));
    }
    h.form().program().Narahiv();  // stopped
    QCOMPARE(d.Label(23)->text(), QString("нет св"));
    QCOMPARE(d.Label(23)->palette().color(QPalette::Window), QColor(0x80, 0x80, 0x80));
  }

  void okSavesAndHidesTheDialog() {
    Harness h;
    ui::TForm2& d = *h.windows->form2;
    h.form().BitBtn3Click();
    QVERIFY(d.isVisible());
    d.ComboBox(1)->setCurrentIndex(2);
    d.ComboBox(2)->setCurrentIndex(3);
    QTest::mouseClick(d.Button1, Qt::LeftButton);
    QVERIFY(!d.isVisible());
    QCOMPARE(Harness::read(h.settingsPath()), settingsBytes({{1, 2}, {2, 3}}));
    // The close box saves too.
    h.form().BitBtn3Click();
    d.ComboBox(16)->setCurrentIndex(1);
    d.close();
    QVERIFY(!d.isVisible());
    QCOMPARE(Harness::read(h.settingsPath()), settingsBytes({{1, 2}, {2, 3}, {16, 1}}));
  }

  void aFailedSaveKeepsTheDialogOpen() {
    Harness h;
    ui::TForm2& d = *h.windows->form2;
    h.form().BitBtn3Click();
    // A folder where the file should be: it cannot be written.
    QVERIFY(QDir(h.dir.path()).mkdir("Rilvet.dat"));
    QTest::mouseClick(d.Button1, Qt::LeftButton);
    QVERIFY(d.isVisible());
    d.close();
    QVERIFY(d.isVisible());
    QCOMPARE(h.messages.shown().size(), 2);
    QVERIFY(h.messages.shown().at(0).contains("Rilvet.dat"));
    QVERIFY(QDir(h.dir.path()).rmdir("Rilvet.dat"));
    d.close();
    QVERIFY(!d.isVisible());
  }

  // ---------------------------------------------------------- clear table

  void clearDialogLayout() {
    Harness h;
    ui::TForm3& d = *h.windows->form3;
    QCOMPARE(d.windowTitle(), QString("Очистка таблицы"));
    QCOMPARE(d.size(), QSize(ui::TForm3::kClientWidth, ui::TForm3::kClientHeight));
    QCOMPARE(d.minimumSize(), d.maximumSize());
    QVERIFY(d.windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(d.Label2->text(), QString("Удалить данные?"));
    QCOMPARE(d.Label2->geometry(), QRect(25, 8, 130, 16));
    QCOMPARE(d.Button1->text(), QString("Да"));
    QCOMPARE(d.Button1->geometry(), QRect(8, 32, 75, 25));
    QCOMPARE(d.Button2->text(), QString("Нет"));
    QCOMPARE(d.Button2->geometry(), QRect(96, 32, 75, 25));
    QVERIFY(!d.Button1->isDefault() && !d.Button2->isDefault());
  }

  void noChangesNothingAndTwoPressesGiveOneDialog() {
    Harness h;
    putCell(h.table(), 0, 1, "1");
    putCell(h.table(), 0, 0, "v");
    h.player().rewind();
    h.reveal(1);
    QTest::mouseClick(h.form().BitBtn(4), Qt::LeftButton);
    QTest::mouseClick(h.form().BitBtn(4), Qt::LeftButton);
    QCOMPARE(visibleWindowsNamed("Form3"), 1);
    const QPoint placed = h.windows->form3->pos();
    QTest::mouseClick(h.windows->form3->Button2, Qt::LeftButton);
    QVERIFY(!h.windows->form3->isVisible());
    QCOMPARE(cell(h, 0, 1), QString("1"));
    QCOMPARE(cell(h, 0, 0), QString("v"));
    QCOMPARE(h.player().StepColumn(), 0);
    // It comes back where it was left.
    h.windows->form3->move(placed + QPoint(40, 30));
    h.form().BitBtn4Click();
    QCOMPARE(h.windows->form3->pos(), placed + QPoint(40, 30));
  }

  void yesEmptiesEveryChannelCellUpToTheLastColumn() {
    Harness h;
    putCell(h.table(), 0, 1, "1");
    putCell(h.table(), 0, 2, "0");
    putCell(h.table(), 0, 48, "abc");
    putCell(h.table(), 0, 0, "v");
    h.form().program().Narahiv();  // LastColumn 0, then grows
    h.form().BitBtn4Click();
    QTest::mouseClick(h.windows->form3->Button1, Qt::LeftButton);
    QVERIFY(!h.windows->form3->isVisible());
    for (int r = 1; r <= 48; ++r) QCOMPARE(cell(h, 0, r), QString(""));
    QCOMPARE(cell(h, 0, 0), QString("v"));  // the marker row is not touched
    QCOMPARE(h.player().StepColumn(), 0);
  }

  void yesWhileRunningPlaysOnFromColumnZeroOverTheEmptyTable() {
    Harness h;
    for (int c = 0; c < 4; ++c) putCell(h.table(), c, c + 1, "1");
    h.reveal(4);
    // Only the test's own steps.
    h.form().Edit1->setText("100000");
    h.form().program().Narahiv();
    QTest::mouseClick(h.form().BitBtn(1), Qt::LeftButton);
    for (int i = 0; i < 3; ++i) QVERIFY(h.tick());
    QVERIFY(h.board().channelOutput(3));
    h.form().program().Narahiv();
    h.form().BitBtn4Click();
    QTest::mouseClick(h.windows->form3->Button1, Qt::LeftButton);
    QCOMPARE(cell(h, 2, 0), QString("v"));  // the marker stays where it was
    QVERIFY(h.formState().timer1Enabled());
    QCOMPARE(h.player().StepRunning(), 1);
    QVERIFY(h.tick());
    QCOMPARE(h.player().StepColumn(), 1);
    QCOMPARE(h.board().outputBits(), 0u);
    QTest::mouseClick(h.form().BitBtn(2), Qt::LeftButton);
    QVERIFY(h.framesSent());
  }

  void yesDuringTheRevealClearsOnlyTheShownColumns() {
    Harness h(ui_testing::tableBytes({{1}, {1}, {1}, {1}, {1}}, "100"));
    h.form().program().Narahiv();
    h.form().program().Narahiv();  // three columns shown, LastColumn 1
    QCOMPARE(h.player().LastColumn(), 1);
    h.form().BitBtn4Click();
    QTest::mouseClick(h.windows->form3->Button1, Qt::LeftButton);
    QCOMPARE(cell(h, 0, 1), QString(""));
    QCOMPARE(cell(h, 1, 1), QString(""));
    QCOMPARE(cell(h, 2, 1), QString("1"));
    QCOMPARE(cell(h, 4, 1), QString("1"));
    for (int i = 0; i < 4; ++i) h.form().program().Narahiv();
    QCOMPARE(h.table().colCount(), 1);
    // Data in the first columns again: the kept ones come back into view.
    putCell(h.table(), 0, 9, "1");
    putCell(h.table(), 1, 9, "1");
    for (int i = 0; i < 6; ++i) h.form().program().Narahiv();
    QCOMPARE(h.table().colCount(), 6);
  }

  // ---------------------------------------------------------- about box

  void aboutBoxLayout() {
    Harness h;
    ui::TForm4& d = *h.windows->form4;
    QCOMPARE(d.windowTitle(), QString("Об авторах"));
    QCOMPARE(d.size(), QSize(353, 257));
    QVERIFY(d.windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(d.Image1->geometry(), QRect(0, 0, 353, 257));
    QVERIFY(d.Image1->hasScaledContents());
    QCOMPARE(d.Image1->pixmap().size(), QSize(471, 257));
    const struct {
      const char* name;
      const char* text;
      QRect geometry;
    } labels[] = {
        {"Label19", "программа управления драйвером hc595", QRect(1, 26, 350, 20)},
        {"Label20", "(48 выходов + 3 входа)", QRect(79, 42, 195, 20)},
        {"Label30", "Спасибо за использование программы.", QRect(4, 170, 204, 13)},
        {"Label1", "          OK          ", QRect(136, 229, 78, 16)},
        {"Label2", "Rilvet-48", QRect(110, 2, 136, 29)},
        {"Label3", "автор идеи и проекта:", QRect(93, 70, 170, 20)},
    };
    for (const auto& l : labels) {
      auto* label = d.findChild<QLabel*>(l.name);
      QVERIFY2(label, l.name);
      QCOMPARE(label->text(), QString(l.text));
      QCOMPARE(label->geometry(), l.geometry);
    }
    QCOMPARE(d.Bevel1->geometry(), QRect(136, 225, 81, 25));
  }

  void okLabelActsAsAButton() {
    Harness h;
    ui::TForm4& d = *h.windows->form4;
    h.form().BitBtn10Click();
    h.form().BitBtn10Click();
    QCOMPARE(visibleWindowsNamed("Form4"), 1);
    const QPoint inside = d.Label1->rect().center();
    // Right button: lowered while pressed, raised after, the box stays.
    QTest::mousePress(d.Label1, Qt::RightButton, Qt::NoModifier, inside);
    QCOMPARE(d.Bevel1->style(), ui::Bevel::Lowered);
    QTest::mouseRelease(d.Label1, Qt::RightButton, Qt::NoModifier, inside);
    QCOMPARE(d.Bevel1->style(), ui::Bevel::Raised);
    QVERIFY(d.isVisible());
    // Left press, move off, release: raised, still open.
    QTest::mousePress(d.Label1, Qt::LeftButton, Qt::NoModifier, inside);
    QCOMPARE(d.Bevel1->style(), ui::Bevel::Lowered);
    QTest::mouseRelease(d.Label1, Qt::LeftButton, Qt::NoModifier, QPoint(-40, -40));
    QCOMPARE(d.Bevel1->style(), ui::Bevel::Raised);
    QVERIFY(d.isVisible());
    // A click closes it, raised for the next time.
    QTest::mouseClick(d.Label1, Qt::LeftButton, Qt::NoModifier, inside);
    QVERIFY(!d.isVisible());
    QCOMPARE(d.Bevel1->style(), ui::Bevel::Raised);
  }

  void anUnreadablePictureLeavesTheBoxUsableAndSaysWhyOnce() {
    ui_testing::initOnce();
    Recorder errors;
    QByteArray broken = ui::TForm4::defaultPicture();
    broken.truncate(broken.size() / 3);
    ui::TForm4 d(errors, broken);
    QVERIFY(d.Image1->pixmap().isNull());
    d.show();
    d.Label1MouseUp();
    d.Label1Click();
    QVERIFY(!d.isVisible());
    d.show();
    QCOMPARE(errors.messages.size(), 1u);
    QVERIFY(QString::fromStdString(errors.messages[0]).startsWith("Не удалось прочитать картинку"));
  }

  // ---------------------------------------------------------- help

  void helpWithoutTheFileChangesNothing() {
    Harness h;
    QDir::setCurrent(h.dir.path());
    const int windows = QApplication::topLevelWidgets().size();
    QTest::mouseClick(h.form().BitBtn(5), Qt::LeftButton);
    QCOMPARE(QApplication::topLevelWidgets().size(), windows);
    QVERIFY(h.messages.shown().isEmpty());
  }

  void helpOpensTheGuideOnce() {
    Harness h;
    QDir::setCurrent(h.dir.path());
    Harness::write(h.dir.filePath("Rilvet.hlp"), "<html><body><h1>Справка</h1></body></html>");
    h.form().BitBtn5Click();
    h.form().BitBtn5Click();
    int helpWindows = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->isVisible() && w->windowTitle() == ui::kHelpWindowTitle) {
        ++helpWindows;
        QVERIFY(w->findChild<QTextBrowser*>() != nullptr);
      }
    }
    QCOMPARE(helpWindows, 1);
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
