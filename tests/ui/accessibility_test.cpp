// What a screen reader is told: the names of the controls, the indicators
// with their state, the status panels' texts and the table's cells; the
// picture buttons pressed from the keyboard; the cells' text readable on
// their fixed colours in a dark palette.
#include "ui/accessibility.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QLabel>
#include <algorithm>

#include "ui/pattern_dialog.h"
#include "ui_harness.h"

using ui_testing::Harness;
using ui_testing::tableBytes;
using ui_testing::waitFor;

namespace {

QAccessibleInterface* of(QObject* object) {
  return QAccessible::queryAccessibleInterface(object);
}

QString nameOf(QObject* object) {
  QAccessibleInterface* iface = of(object);
  return iface != nullptr ? iface->text(QAccessible::Name) : QString("<none>");
}

QString cellName(QAccessibleTableInterface* table, int row, int col) {
  QAccessibleInterface* cell = table->cellAt(row, col);
  return cell != nullptr ? cell->text(QAccessible::Name) : QString("<none>");
}

}  // namespace

class AccessibilityTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { ui::installAccessibility(); }

  void everyControlIsNamedByItsHint() {
    Harness h;
    ui::TForm1& f = h.form();
    const char* hints[10] = {"Старт (включение порта) / Пауза",
                             "Стоп (отключение порта)",
                             "Настройка входов",
                             "Очистить таблицу",
                             "Справка",
                             "Выход",
                             "Вход 1 - ручное управление",
                             "Вход 2 - ручное управление",
                             "Вход 3 - ручное управление",
                             "Об авторах"};
    for (int n = 1; n <= 10; ++n) {
      QAccessibleInterface* button = of(f.BitBtn(n));
      QVERIFY(button != nullptr);
      QCOMPARE(button->role(), QAccessible::Button);
      QCOMPARE(button->text(QAccessible::Name), QString(hints[n - 1]));
      QVERIFY(button->state().focusable);
      QVERIFY(button->actionInterface() != nullptr);
      QVERIFY(button->actionInterface()->actionNames().contains(
          QAccessibleActionInterface::pressAction()));
    }
    // The hint stays as it is for the status bar, trailing space and all.
    QCOMPARE(f.BitBtn(7)->statusTip(), QString("Вход 1 - ручное управление "));
    QCOMPARE(nameOf(f.Edit1), QString("Скорость перебора столбцов"));
    QCOMPARE(nameOf(f.StringGrid1), QString("Таблица данных"));
    QCOMPARE(nameOf(f.ProgressBar1), QString("Загрузка данных из файла"));
    QCOMPARE(f.ComboBox1->accessibleName(), QString("Найденные COM-порты"));
    // The captions label their boxes.
    QCOMPARE(f.Label52->buddy(), f.ComboBox1);
    QCOMPARE(f.Label50->buddy(), f.Edit1);
    QCOMPARE(of(&f)->role(), QAccessible::Window);
    QCOMPARE(nameOf(&f), QString("Rilvet-48 программа управления драйвером hc595"));
  }

  void theDialogsControlsAreNamed() {
    Harness h;
    ui::TForm2& form2 = *h.windows->form2;
    QCOMPARE(form2.comboBoxes[0]->accessibleName(), QString("Включение выхода 1"));
    QCOMPARE(form2.comboBoxes[15]->accessibleDescription(), QString("Отключение выхода 8"));
    ui::PatternDialog pattern;
    QCOMPARE(pattern.firstChannel->accessibleName(), QString("Каналы с"));
    QCOMPARE(pattern.lastChannel->accessibleName(), QString("Каналы по"));
    QCOMPARE(pattern.steps->accessibleName(), QString("Новых шагов"));
    QCOMPARE(nameOf(pattern.okButton), QString("ОК"));
    QCOMPARE(nameOf(h.windows->form4->Label1), QString("OK"));
  }

  void indicatorsTellTheirChannelAndState() {
    Harness h;
    ui::TForm1& f = h.form();
    for (int n : {1, 9, 48}) {
      QAccessibleInterface* indicator = of(f.Label(n));
      QVERIFY(indicator != nullptr);
      QCOMPARE(indicator->text(QAccessible::Name), QString("Индикатор %1 выхода").arg(n));
      QCOMPARE(indicator->text(QAccessible::Description), QString("выключен"));
      QVERIFY(!indicator->state().checked);
    }
    f.Label(9)->setOn(true);
    QCOMPARE(of(f.Label(9))->text(QAccessible::Description), QString("включён"));
    QVERIFY(of(f.Label(9))->state().checked);
    QCOMPARE(of(f.Label(10))->text(QAccessible::Description), QString("выключен"));
  }

  void statusPanelsTellTheirText() {
    Harness h(tableBytes({{1}, {2}, {}}, "250"));
    ui::TForm1& f = h.form();
    h.reveal(5);
    QCOMPARE(nameOf(f.statusPanels[1]), QString("Порт отключен - связи нет"));
    QCOMPARE(of(f.statusPanels[1])->role(), QAccessible::StaticText);
    QTest::mouseClick(f.StringGrid1->viewport(), Qt::LeftButton, {},
                      f.StringGrid1->cellRect(2, 3).center());
    QCOMPARE(nameOf(f.statusPanels[0]), QString("Позиция 3"));
    f.Podskazka("Выход");
    QCOMPARE(nameOf(f.statusPanels[2]), QString("Выход"));
  }

  void tableTellsItsCells() {
    // Column 0: channel 1 on; column 1: all off ("0"s); column 2: channel 2 on.
    Harness h(tableBytes({{1}, {}, {2}}, "250"));
    ui::TForm1& f = h.form();
    h.reveal(5);
    QCOMPARE(h.table().colCount(), 4);
    QAccessibleInterface* grid = of(f.StringGrid1);
    QCOMPARE(grid->role(), QAccessible::Table);
    QAccessibleTableInterface* table = grid->tableInterface();
    QVERIFY(table != nullptr);
    QCOMPARE(table->rowCount(), 49);
    QCOMPARE(table->columnCount(), 4);
    QCOMPARE(grid->childCount(), 49 * 4);
    QCOMPARE(cellName(table, 1, 0), QString("1"));
    QCOMPARE(cellName(table, 2, 0), QString(""));
    QCOMPARE(cellName(table, 5, 1), QString("0"));
    QCOMPARE(cellName(table, 2, 2), QString("1"));
    QCOMPARE(cellName(table, 48, 3), QString(""));
    QVERIFY(table->cellAt(49, 0) == nullptr);
    QVERIFY(table->cellAt(1, 4) == nullptr);
    QCOMPARE(table->rowDescription(7), QString("Канал 7"));
    QCOMPARE(table->columnDescription(2), QString("3"));

    // Children are the cells row by row; the same cell each time.
    QAccessibleInterface* cell = table->cellAt(2, 2);
    QCOMPARE(grid->child(2 * 4 + 2), cell);
    QCOMPARE(grid->indexOfChild(cell), 2 * 4 + 2);
    QCOMPARE(cell->parent(), grid);
    QCOMPARE(cell->role(), QAccessible::Cell);
    QCOMPARE(table->cellAt(0, 2)->role(), QAccessible::ColumnHeader);
    QAccessibleTableCellInterface* cellInfo = cell->tableCellInterface();
    QCOMPARE(cellInfo->rowIndex(), 2);
    QCOMPARE(cellInfo->columnIndex(), 2);
    const QRect r = f.StringGrid1->cellRect(2, 2);
    QCOMPARE(cell->rect(), QRect(f.StringGrid1->viewport()->mapToGlobal(r.topLeft()), r.size()));
    QCOMPARE(grid->childAt(cell->rect().center().x(), cell->rect().center().y()), cell);

    // The chosen cell is the focused child; an edit shows in its name.
    f.StringGrid1->setFocus();
    QTest::mouseClick(f.StringGrid1->viewport(), Qt::LeftButton, {},
                      f.StringGrid1->cellRect(2, 2).center());
    QVERIFY(waitFor([&] { return f.StringGrid1->hasFocus(); }));
    QCOMPARE(grid->focusChild(), cell);
    QVERIFY(cell->state().selected);
    QVERIFY(!table->cellAt(1, 0)->state().selected);
    QCOMPARE(table->selectedCells(), QList<QAccessibleInterface*>{cell});
    h.table().setCell(2, 2, "0");
    QCOMPARE(cell->text(QAccessible::Name), QString("0"));

    // A cleared table: the cells beyond its columns are gone.
    QAccessibleInterface* far = table->cellAt(1, 3);
    h.windows->program.clearTable();
    h.reveal(2);
    QCOMPARE(table->columnCount(), h.table().colCount());
    QVERIFY(h.table().colCount() < 4);
    QVERIFY(!far->isValid());
  }

  void changesAreToldTogetherAtMostEveryPeriod() {
    Harness h;
    ui::TForm1& f = h.form();
    QList<QPair<QWidget*, bool>> told;  // widget, its state when told
    int batches = 0;
    ui::ChangeGatherer gatherer(50, [&](const auto& states, const auto& texts) {
      ++batches;
      for (const auto& w : states)
        told.append({w.data(), static_cast<ui::Indicator*>(w.data())->isOn()});
      for (const auto& w : texts) told.append({w.data(), false});
    });
    // A step every millisecond: indicator 3 flickers and ends on, panel 0
    // counts, indicator 4 switches once.
    for (int i = 0; i < 7; ++i) {
      f.Label(3)->setOn(i % 2 == 0);
      gatherer.add(f.Label(3), ui::ChangeGatherer::Kind::State);
      gatherer.add(f.statusPanels[0], ui::ChangeGatherer::Kind::Text);
    }
    gatherer.add(f.Label(4), ui::ChangeGatherer::Kind::State);
    QCOMPARE(batches, 0);
    QVERIFY(waitFor([&] { return batches > 0; }, 1000));
    QCOMPARE(batches, 1);
    const QList<QPair<QWidget*, bool>> expected = {
        {f.Label(3), true}, {f.Label(4), false}, {f.statusPanels[0], false}};
    QCOMPARE(told, expected);

    // A widget gone before its turn is passed over, not told.
    auto* panel = new ui::StatusPanel(&f);
    gatherer.add(panel, ui::ChangeGatherer::Kind::Text);
    delete panel;
    QVERIFY(waitFor([&] { return batches == 2; }, 1000));
    QCOMPARE(told.size(), 4);
    QVERIFY(told.last().first == nullptr);
    QTest::qWait(120);
    QCOMPARE(batches, 2);  // nothing more to tell
  }

  void pictureButtonsArePressedFromTheKeyboard() {
    Harness h;
    ui::TForm1& f = h.form();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    // Tab order starts at Start and reaches the about button.
    f.BitBtn(1)->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 11 && !f.BitBtn(10)->hasFocus(); ++i)
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(f.BitBtn(10)->hasFocus());
    QVERIFY(!h.windows->form4->isVisible());
    QTest::keyClick(f.BitBtn(10), Qt::Key_Space);
    QVERIFY(h.windows->form4->isVisible());
  }

  void cellTextReadsOnTheCellsColourInADarkPalette() {
    Harness h(tableBytes({{1}}, "100"));
    ui::TForm1& f = h.form();
    h.reveal(3);
    QPalette dark = f.StringGrid1->palette();
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
      dark.setColor(role, QColor(0x20, 0x20, 0x20));
    }
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
      dark.setColor(role, QColor(0xF0, 0xF0, 0xF0));
    }
    f.StringGrid1->setPalette(dark);
    const QImage image = f.StringGrid1->viewport()->grab().toImage();
    const QRect cell = f.StringGrid1->cellRect(0, 1);  // holds "1"
    int darkPixels = 0;
    int lightPixels = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y) {
      for (int x = cell.left(); x <= cell.right(); ++x) {
        const int v = qGray(image.pixel(x, y));
        darkPixels += v < 0x50;
        lightPixels += v > 0xE0;
      }
    }
    QCOMPARE(image.pixelColor(cell.right(), cell.top()), QColor(0xC0, 0xC0, 0xC0));
    QVERIFY2(darkPixels >= 5, "the \"1\" is drawn dark on the silver cell");
    QCOMPARE(lightPixels, 0);
  }
};

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
