// The main window as laid out and wired: geometry, captions, hints, colours,
// and that each control reaches its handler.
#include <QAbstractItemView>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QStatusTipEvent>

#include "support/sequencer_setup.h"
#include "ui_harness.h"

using testing_support::putCell;

using ui_testing::Harness;
using ui_testing::visibleBoxes;

namespace {

QColor pixelOf(QWidget* w, QPoint at) {
  return w->grab().toImage().pixelColor(at);
}

// The marker "v" in column 1's header cell is drawn in the window-text
// colour: inside the cell's bevel every pixel is the header's colour or that
// colour darkened, never lightened, and some are darkened.
void expectBlackMarker(QWidget* grid, const QColor& header) {
  const QImage image = grid->grab().toImage();
  int ink = 0;
  for (int x = 1; x <= 10; ++x) {
    for (int y = 1; y <= 14; ++y) {
      const QColor c = image.pixelColor(x, y);
      if (c == header) continue;
      ++ink;
      QVERIFY2(c.red() <= header.red() && c.green() <= header.green() && c.blue() <= header.blue(),
               qPrintable(QString("a light pixel %1 at %2,%3").arg(c.name()).arg(x).arg(y)));
    }
  }
  QVERIFY(ink > 0);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void windowGeometryAndCaption() {
    Harness h;
    ui::TForm1& f = h.form();
    QCOMPARE(f.windowTitle(), QString("Rilvet-48 программа управления драйвером hc595"));
    QCOMPARE(f.minimumWidth(), ui::TForm1::kClientWidth);
    QCOMPARE(f.minimumHeight(), ui::TForm1::kClientHeight);
    QCOMPARE(f.maximumHeight(), ui::TForm1::kClientHeight);
    // Start-up: top-left corner, as wide as the desktop allows.
    QCOMPARE(f.pos(), QPoint(0, 0));
    QVERIFY(f.width() >= ui::TForm1::kClientWidth);
    // The window system's own frame (two pixels a side on this platform), not
    // a fixed one, comes off the desktop's width: the outer width is the
    // desktop's.
    const int frame = f.frameGeometry().width() - f.width();
    QCOMPARE(frame, 4);
    QCOMPARE(f.frameGeometry().width(),
             QGuiApplication::primaryScreen()->virtualGeometry().width());
    QCOMPARE(h.formState().windowWidth(), f.frameGeometry().width());
    QCOMPARE(f.height(), 908);
    // The bands: tool panel 57, status bar 19, channel area between.
    QCOMPARE(f.Panel1->geometry(), QRect(0, 0, f.width(), 57));
    QCOMPARE(f.StatusBar1->geometry(), QRect(0, 889, f.width(), 19));
    QCOMPARE(f.Panel2->geometry(), QRect(0, 57, f.width(), 832));
    QCOMPARE(f.Panel3->height(), 17);
    QCOMPARE(f.Panel3->geometry().bottom(), f.Panel2->height() - 2);
    QCOMPARE(f.ProgressBar1->minimum(), 0);
    QCOMPARE(f.ProgressBar1->maximum(), 1000000);
  }

  void toolPanelControls() {
    Harness h;
    ui::TForm1& f = h.form();
    f.resize(ui::TForm1::kClientWidth, ui::TForm1::kClientHeight);
    QCOMPARE(f.Label50->text(), QString("Скорость"));
    QCOMPARE(f.Label50->pos(), QPoint(8, 6));
    QCOMPARE(f.Label51->text(), QString("милисек."));
    QCOMPARE(f.Label51->pos(), QPoint(11, 17));
    QCOMPARE(f.Label52->text(), QString("Порт"));
    QCOMPARE(f.Label52->pos(), QPoint(32, 33));
    QVERIFY(!f.Label50->font().bold());
    QVERIFY(f.font().bold());
    QCOMPARE(f.Edit1->geometry(), QRect(64, 8, 57, 21));
    QCOMPARE(f.Edit1->text(), QString("100"));
    QCOMPARE(f.Edit1->toolTip(), QString("Скорость перебора столбцов"));
    QCOMPARE(f.ComboBox1->geometry(), QRect(64, 28, 57, 21));
    QVERIFY(f.ComboBox1->isEditable());
    QCOMPARE(f.ComboBox1->toolTip(), QString("Найденные COM-порты"));
    QCOMPARE(f.ComboBox1->currentText(), QString("VIRTUAL"));

    const struct {
      int n, left;
      const char* hint;
    } buttons[] = {{1, 128, "Старт (включение порта) / Пауза"},
                   {2, 176, "Стоп (отключение порта)"},
                   {3, 224, "Настройка входов"},
                   {7, 272, "Вход 1 - ручное управление "},
                   {8, 320, "Вход 2 - ручное управление "},
                   {9, 368, "Вход 3 - ручное управление "},
                   {4, 416, "Очистить таблицу"},
                   {5, 465, "Справка"},
                   {10, 514, "Об авторах"},
                   {6, 561, "Выход"}};
    for (const auto& b : buttons) {
      QPushButton* button = f.BitBtn(b.n);
      QCOMPARE(button->geometry(), QRect(b.left, 8, 41, 41));
      QCOMPARE(button->toolTip(), QString(b.hint));
      QVERIFY(button->text().isEmpty());
      QCOMPARE(button->iconSize(), QSize(32, 32));
      QVERIFY(!button->icon().isNull());
    }
  }

  void tabOrderIsAsDesigned() {
    Harness h;
    ui::TForm1& f = h.form();
    QList<QWidget*> expected = {f.BitBtn(1), f.BitBtn(2), f.BitBtn(4), f.ComboBox1,
                                f.Edit1,     f.BitBtn(5), f.BitBtn(6), f.BitBtn(3),
                                f.BitBtn(7), f.BitBtn(8), f.BitBtn(9), f.BitBtn(10)};
    // Walk the focus chain once round and keep the controls in it.
    QList<QWidget*> chain;
    QWidget* w = expected.first();
    do {
      if (expected.contains(w) && !chain.contains(w)) chain.push_back(w);
      w = w->nextInFocusChain();
    } while (w != expected.first());
    QCOMPARE(chain, expected);
  }

  void rightButtonsFollowTheRightEdge() {
    Harness h;
    ui::TForm1& f = h.form();
    for (int width : {609, 900, 1500}) {
      f.resize(width, 908);
      QCOMPARE(f.Panel1->width() - f.BitBtn(5)->geometry().right() - 1, 103);
      QCOMPARE(f.Panel1->width() - f.BitBtn(10)->geometry().right() - 1, 54);
      QCOMPARE(f.Panel1->width() - f.BitBtn(6)->geometry().right() - 1, 7);
      QCOMPARE(f.BitBtn(4)->x(), 416);
    }
    // The table follows the window within one housekeeping tick.
    f.resize(1500, 908);
    f.program().Narahiv();
    QCOMPARE(f.StringGrid1->width(), f.frameGeometry().width() - 60);
    QCOMPARE(f.frameGeometry().width(), 1504);
    // The height never changes; the width never goes below the minimum.
    f.resize(500, 1000);
    QCOMPARE(f.height(), 908);
    QCOMPARE(f.width(), 609);
  }

  void indicatorsStandLevelWithTheirRows() {
    Harness h;
    ui::TForm1& f = h.form();
    const int gridTop = f.StringGrid1->y();
    for (int n = 1; n <= 48; ++n) {
      ui::Indicator* label = f.Label(n);
      QCOMPARE(label->objectName(), QString("Label%1").arg(n));
      QCOMPARE(label->text(), QString("%1").arg(n, 2, 10, QChar('0')));
      QCOMPARE(label->pos(), QPoint(1 + 8, 1 + 25 + 16 * (n - 1)));
      QCOMPARE(label->width(), 20);
      QCOMPARE(label->toolTip(), QString("Индикатор %1 выхода").arg(n));
      QCOMPARE(label->font().pixelSize(), 16);
      QVERIFY(label->font().bold());
      QVERIFY(!label->isOn());
      QCOMPARE(pixelOf(label, QPoint(1, 1)), QColor(0x00, 0x80, 0x00));
      // Row n of the table starts at the same height.
      const QRect cell = f.StringGrid1->cellRect(0, n);
      QCOMPARE(gridTop + cell.top(), label->y());
    }
    QCOMPARE(f.Label(9)->text(), QString("09"));
    QCOMPARE(f.Label(48)->toolTip(), QString("Индикатор 48 выхода"));
    f.Label(5)->setOn(true);
    QCOMPARE(pixelOf(f.Label(5), QPoint(1, 1)), QColor(0x00, 0xFF, 0x00));
  }

  void tableLooksAsDesigned() {
    Harness h;
    ui::TForm1& f = h.form();
    QCOMPARE(f.StringGrid1->pos(), QPoint(1 + 32, 1 + 9));
    QCOMPARE(f.StringGrid1->height(), 800);
    QCOMPARE(f.StringGrid1->toolTip(), QString("Таблица данных"));
    QCOMPARE(f.StringGrid1->cellRect(0, 0), QRect(0, 0, 12, 15));
    QCOMPARE(f.StringGrid1->cellRect(1, 1), QRect(13, 16, 12, 15));
    const QImage image = f.StringGrid1->grab().toImage();
    QCOMPARE(image.pixelColor(5, 16 + 7), QColor(0xC0, 0xC0, 0xC0));  // a cell
    QCOMPARE(image.pixelColor(6, 8), QColor(0xC0, 0xC0, 0xC0));       // the header, stopped
  }

  void statusBarPanels() {
    Harness h;
    ui::TForm1& f = h.form();
    QCOMPARE(f.statusPanels[0]->width(), 70);
    QCOMPARE(f.statusPanels[1]->width(), 200);
    const int before = f.statusPanels[2]->width();
    f.resize(f.width() + 300, 908);
    QVERIFY(f.statusPanels[2]->width() > before);
    QCOMPARE(f.statusPanels[0]->width(), 70);
    QCOMPARE(f.statusPanels[1]->width(), 200);
  }

  // Every status text is shown whole in its panel, measured with the font
  // the panel uses; the hints in panel 2 at the narrowest window.
  void everyStatusTextFitsItsPanel() {
#ifdef Q_OS_WIN
    // Qt's offscreen platform has no font database on Windows: its widths are
    // a stand-in font's. The packaged program's test sees the real ones.
    QSKIP("no real fonts on the offscreen platform on Windows");
#endif
    Harness h;
    ui::TForm1& f = h.form();
    f.resize(ui::TForm1::kClientWidth, ui::TForm1::kClientHeight);
    QList<QStringList> texts(3);
    for (int n = 1; n <= 999; ++n) texts[0] << QString("Позиция %1").arg(n);
    texts[1] << "Обмен данными с драйвером"
             << "Наблюдение за состоянием драйвера"
             << "Порт отключен - связи нет";
    for (const char* percent : {"00.00 %", "99.99 %", "99,99 %"}) {
      texts[1] << QString("Загрузка данных из файла  ") + percent;
    }
    for (const QWidget* w : f.findChildren<QWidget*>()) {
      if (!w->statusTip().isEmpty()) texts[2] << w->statusTip();
    }
    QCOMPARE(texts[2].size(), 10 + 2 + 48 + 1);  // buttons, boxes, indicators, table
    for (int i = 0; i < 3; ++i) {
      ui::StatusPanel* panel = f.statusPanels[i];
      const QFontMetrics metrics(panel->font());
      const int room = panel->contentsRect().width();
      int widest = 0;
      for (const QString& text : texts[i]) {
        const int width = metrics.horizontalAdvance(text);
        widest = std::max(widest, width);
        if (i == 1) qInfo("panel 1: \"%s\" %d px of %d", qPrintable(text), width, room);
        QVERIFY2(
            width <= room,
            qPrintable(
                QString("\"%1\": %2 px, panel %3 has %4").arg(text).arg(width).arg(i).arg(room)));
        panel->setText(text);
        QCOMPARE(panel->toolTip(), QString());  // the panel does not shorten it
      }
      qInfo("panel %d (%d px, %d for text, %s %d px %s stretch %d): widest text %d px", i,
            panel->width(), room, qPrintable(QFontInfo(panel->font()).family()),
            panel->font().pixelSize(), panel->font().bold() ? "bold" : "", panel->font().stretch(),
            widest);
    }
  }

  void aStatusTextTooLongForItsPanelIsWholeInTheTooltip() {
#ifdef Q_OS_WIN
    // Qt's offscreen platform has no font database on Windows: its widths are
    // a stand-in font's. The packaged program's test sees the real ones.
    QSKIP("no real fonts on the offscreen platform on Windows");
#endif
    Harness h;
    ui::StatusPanel* panel = h.form().statusPanels[1];
    const QString released(sequencer::text::kReleased);
    panel->setText(released);
    QCOMPARE(panel->toolTip(), released);
    QCOMPARE(panel->width(), 200);
    panel->setText("Порт отключен - связи нет");
    QCOMPARE(panel->toolTip(), QString());
  }

  void portBoxShowsTheStartOfTheNameAndAListWideEnough() {
    Harness h;
    ui::TForm1& f = h.form();
    const QString longName("ttyUSB-FTDI-adapter-0");
    h.formState().setComboItems({longName.toStdString(), "VIRTUAL"});
    QComboBox* box = f.ComboBox1;
    QLineEdit* edit = box->lineEdit();
    f.activateWindow();
    box->setFocus();
    // Choosing from the list (as the list's Enter does) shows the start.
    box->showPopup();
    QWidget* popup = box->view()->window();
    QVERIFY(popup->isVisible());
    QVERIFY(popup->width() >= box->view()->fontMetrics().horizontalAdvance(longName));
    QCOMPARE(box->size(), QSize(57, 21));
    QTest::keyClick(box->view(), Qt::Key_Up);
    QTest::keyClick(box->view(), Qt::Key_Return);
    QVERIFY(!popup->isVisible());
    QCOMPARE(box->currentText(), longName);
    QCOMPARE(edit->cursorPosition(), 0);
    box->setCurrentIndex(1);
    QCOMPARE(box->currentText(), QString("VIRTUAL"));
    QCOMPARE(edit->cursorPosition(), 0);
    // Typed text keeps its cursor while typed; leaving the box shows the start.
    edit->setFocus();
    edit->end(false);
    QTest::keyClicks(edit, "1");
    QCOMPARE(edit->cursorPosition(), 8);
    f.Edit1->setFocus();
    QCOMPARE(edit->cursorPosition(), 0);
    QCOMPARE(box->size(), QSize(57, 21));
  }

  void hintOfTheControlUnderTheMouseGoesToPanelTwo() {
    Harness h;
    ui::TForm1& f = h.form();
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(f.BitBtn(6), &enter);
    QCOMPARE(f.statusPanels[2]->text(), QString("Выход"));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(f.BitBtn(6), &leave);
    QCOMPARE(f.statusPanels[2]->text(), QString());
    QApplication::sendEvent(f.Label(9), &enter);
    QCOMPARE(f.statusPanels[2]->text(), QString("Индикатор 9 выхода"));
    // Hints of the other windows reach the same panel.
    QStatusTipEvent tip("Найденные COM-порты");
    QApplication::sendEvent(h.windows->form2.get(), &tip);
    QCOMPARE(f.statusPanels[2]->text(), QString("Найденные COM-порты"));
  }

  void startStepsAndStopThroughTheButtons() {
    Harness h;
    ui::TForm1& f = h.form();
    putCell(h.table(), 0, 2, "1");
    h.reveal(1);
    QCOMPARE(f.ComboBox1->currentText(), QString("VIRTUAL"));
    QTest::mouseClick(f.BitBtn(1), Qt::LeftButton);
    QVERIFY(h.player().SerialPort1().IsOpen());
    QVERIFY(f.Timer1->isActive());
    QVERIFY(!f.ComboBox1->isEnabled());
    QVERIFY(h.windows->boardWindow->isVisible());
    QVERIFY(h.tick());
    QVERIFY(f.Label(2)->isOn());
    QVERIFY(!f.Label(1)->isOn());
    QVERIFY(h.board().channelOutput(2));
    QCOMPARE(f.statusPanels[0]->text(), QString("Позиция 1"));
    QCOMPARE(f.statusPanels[1]->text(), QString("Обмен данными с драйвером"));
    // The header of column 1 (no marker there) shows the run state.
    const QPoint header(13 + 6, 8);
    QCOMPARE(f.StringGrid1->grab().toImage().pixelColor(header), QColor(0xFF, 0, 0));
    expectBlackMarker(f.StringGrid1, QColor(0xFF, 0, 0));
    QTest::mouseClick(f.BitBtn(1), Qt::LeftButton);  // pause
    QVERIFY(h.tick());
    QCOMPARE(f.StringGrid1->grab().toImage().pixelColor(header), QColor(0xFF, 0xFF, 0));
    expectBlackMarker(f.StringGrid1, QColor(0xFF, 0xFF, 0));
    QTest::mouseClick(f.BitBtn(2), Qt::LeftButton);
    // Stop shows at once; the port closes once the all-off frame is out.
    QVERIFY(!f.Timer1->isActive());
    QCOMPARE(f.StringGrid1->grab().toImage().pixelColor(header), QColor(0xC0, 0xC0, 0xC0));
    QVERIFY(h.framesSent());
    QVERIFY(!h.player().SerialPort1().IsOpen());
    QVERIFY(!f.Timer1->isActive());
    QVERIFY(f.ComboBox1->isEnabled());
    QVERIFY(!f.Label(2)->isOn());
    QCOMPARE(h.board().outputBits(), 0u);
    QVERIFY(!h.windows->boardWindow->isVisible());
    QCOMPARE(f.StringGrid1->grab().toImage().pixelColor(header), QColor(0xC0, 0xC0, 0xC0));
  }

  void intervalBoxDrivesTheStepTimer() {
    Harness h;
    ui::TForm1& f = h.form();
    QTest::keyClicks(f.Edit1, "5");  // "1005"
    f.program().Narahiv();
    QCOMPARE(f.Timer1->interval(), 1005);
    f.Edit1->setText("0");
    f.program().Narahiv();
    QCOMPARE(f.Timer1->interval(), 1);
    QCOMPARE(f.Edit1->text(), QString("1"));
  }

  void aTypedPortNameIsNotCompletedFromTheList() {
    Harness h;
    ui::TForm1& f = h.form();
    f.ComboBox1->lineEdit()->clear();
    f.ComboBox1->setFocus();
    QTest::keyClicks(f.ComboBox1->lineEdit(), "VIR");
    QCOMPARE(f.ComboBox1->currentText(), QString("VIR"));
    QCOMPARE(f.ComboBox1->lineEdit()->selectedText(), QString());
    QCOMPARE(h.formState().comboText(), std::string("VIR"));
    QVERIFY(f.ComboBox1->completer() == nullptr);
  }

  void anOpenFailureIsShownOnceAndLeavesTheBoxEnabled() {
    Harness h;
    ui::TForm1& f = h.form();
    f.ComboBox1->setEditText("COM77");
    QTest::mouseClick(f.BitBtn(1), Qt::LeftButton);
    QCOMPARE(h.messages.shown(), QStringList{"Попытка открыть несуществующий COM-порт"});
    QVERIFY(f.ComboBox1->isEnabled());
    QVERIFY(!f.Timer1->isActive());
  }

  void aPortThatStopsAnsweringShowsOneBoxNotOnePerTick() {
    Harness h({}, {}, ui_testing::Boxes::kShown);
    ui::TForm1& f = h.form();
    f.Edit1->setText("1");
    QTest::mouseClick(f.BitBtn(1), Qt::LeftButton);
    h.platform.unplug();
    QTest::qWait(300);  // a few hundred failing ticks
    QCOMPARE(h.messages.shown().size(), 1);
    QCOMPARE(visibleBoxes().size(), 1);
    // The box does not block the window: Stop can be pressed twice and the
    // program is stopped. (The second press waits for the first's frame.)
    QTest::mouseClick(f.BitBtn(2), Qt::LeftButton);
    QTest::mouseClick(f.BitBtn(2), Qt::LeftButton);
    QVERIFY(h.framesSent());
    QVERIFY(!h.player().SerialPort1().IsOpen());
    QVERIFY(!f.Timer1->isActive());
    QVERIFY(f.ComboBox1->isEnabled());
    // Neither stop was silent: the first could not reach the board, the
    // second let the port go with the outputs as they were. They wait behind
    // the open box, one box at a time.
    for (const char* next : {comport::msg::kEscapeCommFunction, sequencer::text::kReleased}) {
      QCOMPARE(visibleBoxes().size(), 1);
      visibleBoxes().front()->close();
      QVERIFY(QTest::qWaitFor([] { return visibleBoxes().size() == 1; }));
      QCOMPARE(visibleBoxes().front()->text(), QString(next));
    }
    visibleBoxes().front()->close();
    QVERIFY(QTest::qWaitFor([] { return visibleBoxes().isEmpty(); }));
    QCOMPARE(h.messages.shown().size(), 3);
  }

  void manualInputButtonsApplyTheMatching() {
    Harness h;
    ui::TForm1& f = h.form();
    h.windows->form2->ComboBox(2)->setCurrentIndex(1);  // output 1 off by вх1
    QTest::mouseClick(f.BitBtn(7), Qt::LeftButton);
    QCOMPARE(h.player().ChannelEnabled()[0], 0);
    QCOMPARE(h.windows->form2->Label(21)->text(), QString("пассив"));
    h.windows->form2->ComboBox(1)->setCurrentIndex(2);  // output 1 on by вх2
    QTest::mouseClick(f.BitBtn(8), Qt::LeftButton);
    QCOMPARE(h.player().ChannelEnabled()[0], 1);
    QCOMPARE(h.windows->form2->Label(21)->text(), QString("активн"));
    // Stopped: the next housekeeping tick shows "нет св" on grey.
    f.program().Narahiv();
    QCOMPARE(h.windows->form2->Label(21)->text(), QString("нет св"));
  }

  void inputsButtonShowsAndHidesTheMatchingDialog() {
    Harness h;
    ui::TForm1& f = h.form();
    QVERIFY(!h.windows->form2->isVisible());
    QTest::mouseClick(f.BitBtn(3), Qt::LeftButton);
    QVERIFY(h.windows->form2->isVisible());
    QTest::mouseClick(f.BitBtn(3), Qt::LeftButton);
    QVERIFY(!h.windows->form2->isVisible());
    // Hiding by the button saves nothing.
    QVERIFY(!QFile::exists(h.settingsPath()));
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
