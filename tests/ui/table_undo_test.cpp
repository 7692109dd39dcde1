// Undo and redo of every kind of table edit, the edits of whole steps from
// the keyboard and from a header cell's menu, and the pattern dialog.
#include <QContextMenuEvent>
#include <QMenu>
#include <QWheelEvent>

#include "support/sequencer_setup.h"
#include "ui/table_actions.h"
#include "ui_harness.h"

using testing_support::putCell;

using ui_testing::centreOf;
using ui_testing::clickCell;
using ui_testing::Harness;

namespace {

void wheelDown(ui::StringGridView* grid, int steps) {
  const QPoint at = grid->viewport()->rect().center();
  QWheelEvent event(at, grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120 * steps),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(grid->viewport(), &event);
}

// The right button on a cell, as the window system reports it.
void rightClick(ui::StringGridView* grid, int col, int row) {
  const QPoint at = centreOf(grid, col, row);
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
  QApplication::sendEvent(grid->viewport(), &event);
}

void choose(QMenu* menu, QAction* action) {
  QVERIFY(menu->isVisible());
  QVERIFY(action->isEnabled());
  QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, menu->actionGeometry(action).center());
}

}  // namespace

class TableUndoTest : public QObject {
  Q_OBJECT

  // Row 1 of the table holds "a", "b", … in columns 0 … columns − 1, and
  // the table shows them all.
  static void lettered(Harness& h, int columns) {
    for (int c = 0; c < columns; ++c) {
      putCell(h.table(), c, 1, std::string(1, static_cast<char>('a' + c)));
      putCell(h.table(), c, 48, "0");
    }
    h.reveal(columns);
    QCOMPARE(h.table().colCount(), columns + 1);
  }

  static QString cell(Harness& h, int col, int row) {
    return QString::fromStdString(h.table().cells().text(col, row));
  }

  // Row `row` of columns 0 … n − 1, "." for an empty cell.
  static QString row(Harness& h, int r, int n) {
    QString out;
    for (int c = 0; c < n; ++c) out += cell(h, c, r).isEmpty() ? QString(".") : cell(h, c, r);
    return out;
  }

  // The keys as the user presses them: through the window's shortcuts.
  static void key(QWidget* w, Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QTest::keyClick(w, k, m);
  }
  static void undo(QWidget* w) { key(w, Qt::Key_Z, Qt::ControlModifier); }
  static void redo(QWidget* w) { key(w, Qt::Key_Y, Qt::ControlModifier); }

  // The main window active and the table in it focused, so that the keys
  // reach the window's shortcuts.
  static ui::StringGridView* focusedGrid(Harness& h) {
    h.form().activateWindow();
    if (!QTest::qWaitForWindowActive(&h.form())) qWarning("the main window is not active");
    ui::StringGridView* grid = h.form().StringGrid1;
    grid->setFocus();
    return grid;
  }

 private slots:
  void togglesByClickKeysWheelAndEnterAreUndoneOneByOne() {
    Harness h;
    lettered(h, 4);
    ui::StringGridView* grid = focusedGrid(h);
    clickCell(grid, 1, 5);
    QCOMPARE(cell(h, 1, 5), QString("1"));
    undo(grid);
    QCOMPARE(cell(h, 1, 5), QString(""));
    redo(grid);
    QCOMPARE(cell(h, 1, 5), QString("1"));
    undo(grid);
    key(grid, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(cell(h, 1, 5), QString("1"));

    // A run of key moves and wheel steps: each toggle is a step of its own.
    key(grid, Qt::Key_Down);
    key(grid, Qt::Key_Down);
    wheelDown(grid, 2);
    key(grid, Qt::Key_Return);
    QCOMPARE(h.table().currentCol(), 2);
    QCOMPARE(row(h, 9, 3), QString(".11"));
    QVERIFY(grid->editorOpen());
    undo(grid);  // Enter's toggle; the editor closes first
    QVERIFY(!grid->editorOpen());
    QCOMPARE(row(h, 9, 3), QString(".1."));
    undo(grid);
    QCOMPARE(cell(h, 1, 9), QString(""));
    QCOMPARE(cell(h, 1, 8), QString("1"));
    undo(grid);
    undo(grid);
    QCOMPARE(cell(h, 1, 8), QString(""));
    QCOMPARE(cell(h, 1, 7), QString(""));
    QCOMPARE(cell(h, 1, 6), QString("1"));
    undo(grid);
    QCOMPARE(cell(h, 1, 6), QString(""));
    QCOMPARE(cell(h, 1, 5), QString("1"));
    // Undo moves no cell, so nothing is toggled by it.
    QCOMPARE(h.table().currentCol(), 2);
    QCOMPARE(h.table().currentRow(), 9);
  }

  void oneEditingOfACellIsOneStepAndUndoInTheEditorIsTheTables() {
    Harness h;
    lettered(h, 3);
    ui::StringGridView* grid = focusedGrid(h);
    h.table().setCurrentCell(0, 1);
    key(grid, Qt::Key_F2);
    key(grid->editor(), Qt::Key_End);
    QTest::keyClicks(grid->editor(), "xyz");
    QTest::keyClick(grid->editor(), Qt::Key_Backspace);
    QCOMPARE(cell(h, 0, 1), QString("axy"));
    key(grid->editor(), Qt::Key_Down);  // leaves the cell, toggles the next
    QCOMPARE(cell(h, 0, 2), QString("1"));
    undo(grid);
    QCOMPARE(cell(h, 0, 2), QString(""));
    QCOMPARE(cell(h, 0, 1), QString("axy"));
    undo(grid);
    QCOMPARE(cell(h, 0, 1), QString("a"));
    redo(grid);
    QCOMPARE(cell(h, 0, 1), QString("axy"));

    // In the open editor, Ctrl+Z takes back the table's last step (the
    // typing so far) and closes the editor.
    h.table().setCurrentCell(1, 1);
    key(grid, Qt::Key_F2);
    key(grid->editor(), Qt::Key_End);
    QTest::keyClicks(grid->editor(), "12");
    QCOMPARE(cell(h, 1, 1), QString("b12"));
    undo(grid->editor());
    QVERIFY(!grid->editorOpen());
    QCOMPARE(cell(h, 1, 1), QString("b"));
    redo(grid);
    QCOMPARE(cell(h, 1, 1), QString("b12"));
  }

  void aDraggedColumnAndTheClearAreUndone() {
    Harness h;
    lettered(h, 4);
    ui::StringGridView* grid = focusedGrid(h);
    QTest::mousePress(grid->viewport(), Qt::LeftButton, Qt::NoModifier, centreOf(grid, 0, 0));
    QMouseEvent move(QEvent::MouseMove, centreOf(grid, 2, 0),
                     grid->viewport()->mapToGlobal(centreOf(grid, 2, 0)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &move);
    QTest::mouseRelease(grid->viewport(), Qt::LeftButton, Qt::NoModifier, centreOf(grid, 2, 0));
    QCOMPARE(row(h, 1, 4), QString("bcad"));
    undo(grid);
    QCOMPARE(row(h, 1, 4), QString("abcd"));
    redo(grid);
    QCOMPARE(row(h, 1, 4), QString("bcad"));

    const QByteArray file = Harness::read(h.tablePath());
    QTest::mouseClick(h.form().BitBtn(4), Qt::LeftButton);
    QTest::mouseClick(h.windows->form3->Button1, Qt::LeftButton);
    QCOMPARE(row(h, 1, 4), QString("...."));
    QCOMPARE(row(h, 48, 4), QString("...."));
    focusedGrid(h);
    h.form().BitBtn(4)->setFocus();
    undo(h.form().BitBtn(4));  // anywhere in the main window
    QCOMPARE(row(h, 1, 4), QString("bcad"));
    QCOMPARE(row(h, 48, 4), QString("0000"));
    QCOMPARE(h.player().StepColumn(), 0);  // set by the clear, kept by the undo
    // Undo never writes the table file.
    QCOMPARE(Harness::read(h.tablePath()), file);
  }

  void stepEditsFromTheKeyboardActOnTheCurrentColumn() {
    Harness h;
    lettered(h, 4);
    ui::StringGridView* grid = focusedGrid(h);
    h.table().setCurrentCell(1, 10);
    const struct {
      const char* name;
      std::function<void()> keys;
      const char* row1;
    } cases[] = {
        {"copy, paste",
         [&] {
           key(grid, Qt::Key_C, Qt::ControlModifier);
           key(grid, Qt::Key_Right);
           key(grid, Qt::Key_V, Qt::ControlModifier);
         },
         "abbcd"},
        {"cut", [&] { key(grid, Qt::Key_X, Qt::ControlModifier); }, "acd.."},
        {"duplicate", [&] { key(grid, Qt::Key_D, Qt::ControlModifier); }, "abbcd"},
        {"empty step", [&] { key(grid, Qt::Key_Insert); }, "a.bcd"},
        {"delete", [&] { key(grid, Qt::Key_Delete, Qt::ControlModifier); }, "acd.."},
    };
    for (const auto& c : cases) {
      h.table().setCurrentCell(1, 10);
      c.keys();
      QVERIFY2(row(h, 1, 5) == c.row1, c.name);
      undo(grid);
      QVERIFY2(row(h, 1, 5) == "abcd.", c.name);
    }
    // The cell toggled by the Right key above is still toggled: it was a
    // step of its own.
    QCOMPARE(cell(h, 2, 10), QString("1"));
  }

  void aHeaderCellsMenuActsOnItsColumn() {
    Harness h;
    lettered(h, 4);
    ui::StringGridView* grid = focusedGrid(h);
    ui::TableActions& actions = *h.form().tableActions;
    QMenu* menu = actions.menu();
    // The right button on a body cell has no menu and chooses nothing.
    rightClick(grid, 2, 5);
    QVERIFY(!menu->isVisible());
    QCOMPARE(cell(h, 2, 5), QString(""));

    // Closed without a choice: nothing done, nothing left greyed.
    rightClick(grid, 2, 0);
    QVERIFY(!actions.pasteAction->isEnabled());
    QTest::keyClick(menu, Qt::Key_Escape);
    QVERIFY(!menu->isVisible());
    QTRY_VERIFY(actions.pasteAction->isEnabled());
    QCOMPARE(row(h, 1, 4), QString("abcd"));
    // The menu key opens the current column's menu.
    h.table().setCurrentCell(1, 3);
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(0, 0),
                              grid->mapToGlobal(QPoint(0, 0)));
    QApplication::sendEvent(grid, &menuKey);
    QVERIFY(menu->isVisible());
    QCOMPARE(menu->actions().first()->text(), QString("Шаг 2"));
    QTest::keyClick(menu, Qt::Key_Escape);
    h.table().setCurrentCell(0, 3);

    rightClick(grid, 2, 0);
    QVERIFY(menu->isVisible());
    QCOMPARE(menu->actions().first()->text(), QString("Шаг 3"));
    QVERIFY(!actions.undoAction->isEnabled());  // nothing to undo yet
    QVERIFY(!actions.pasteAction->isEnabled());
    choose(menu, actions.deleteAction);
    QVERIFY(!menu->isVisible());
    QCOMPARE(row(h, 1, 4), QString("abd."));
    QCOMPARE(h.table().currentCol(), 0);
    QVERIFY(actions.pasteAction->isEnabled());  // greyed for the menu only

    rightClick(grid, 0, 0);
    QVERIFY(actions.undoAction->isEnabled());
    choose(menu, actions.copyAction);
    rightClick(grid, 3, 0);
    choose(menu, actions.pasteAction);
    QCOMPARE(row(h, 1, 5), QString("abda."));
    for (int i = 0; i < 2; ++i) {
      rightClick(grid, 1, 0);
      choose(menu, actions.undoAction);
    }
    QCOMPARE(row(h, 1, 5), QString("abcd."));
    // From the keyboard afterwards, the current column again.
    focusedGrid(h);  // (this platform gives the focus back to no window after a menu)
    key(grid, Qt::Key_D, Qt::ControlModifier);
    QCOMPARE(row(h, 1, 5), QString("aabcd"));
  }

  void patternsGoInBeforeTheStepAsOneStep() {
    Harness h;
    lettered(h, 2);
    ui::StringGridView* grid = focusedGrid(h);
    ui::TableActions& actions = *h.form().tableActions;
    auto* dialog = h.form().findChild<ui::PatternDialog*>();
    QVERIFY(dialog != nullptr);
    putCell(h.table(), 1, 4, "1");
    struct Expect {
      int kind;
      const char* channels2to5;  // of the three new steps, step by step
    };
    const Expect kinds[] = {
        {0, "1...|.1..|..1."},  // chase over 2 … 5
        {1, "1111|1111|1111"},  // all on
        {2, "1.1.|.1.1|1.1."},  // every other one
        {3, "..1.|..1.|..1."},  // copies of step 2 (channel 4 on)
    };
    for (const Expect& e : kinds) {
      h.form().Edit1->setFocus();  // the menu of a header cell takes no focus
      rightClick(grid, 1, 0);
      choose(actions.menu(), actions.patternsAction);
      QTRY_VERIFY(dialog->isVisible());
      QCOMPARE(dialog->windowTitle(), QString("Шаблон шагов"));
      QCOMPARE(dialog->place->text(), QString("Новые шаги встанут перед шагом 2"));
      dialog->kind->setCurrentIndex(e.kind);
      dialog->firstChannel->setValue(2);
      dialog->lastChannel->setValue(5);
      dialog->steps->setValue(3);
      QTest::mouseClick(dialog->okButton, Qt::LeftButton);
      QVERIFY(!dialog->isVisible());
      QString got;
      for (int s = 1; s <= 3; ++s) {
        for (int k = 2; k <= 5; ++k) got += cell(h, s, k) == "1" ? "1" : ".";
        if (s < 3) got += "|";
      }
      QCOMPARE(got, QString(e.channels2to5));
      QCOMPARE(row(h, 1, 5), QString("a...b"));
      QCOMPARE(cell(h, 4, 4), QString("1"));  // the old step 2, moved on
      // Back in the table, where Ctrl+Z takes the whole pattern back.
      QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(grid));
      undo(grid);
      QCOMPARE(row(h, 1, 3), QString("ab."));
      QCOMPARE(cell(h, 1, 4), QString("1"));
    }
    // "Отмена" changes nothing.
    rightClick(grid, 0, 0);
    choose(actions.menu(), actions.patternsAction);
    QTRY_VERIFY(dialog->isVisible());
    QTest::mouseClick(dialog->cancelButton, Qt::LeftButton);
    QCOMPARE(row(h, 1, 3), QString("ab."));
    QVERIFY(h.table().history().canRedo());
  }

  void newStepsReachTheFileAtExitBeforeTheyAreShown() {
    Harness h;
    lettered(h, 2);
    h.table().insertPattern(2, {sequencer::PatternKind::Chase, 1, 4, 4});
    QCOMPARE(h.table().colCount(), 3);  // not one of them shown yet
    h.form().close();
    QCOMPARE(Harness::read(h.tablePath()),
             ui_testing::tableBytes({{}, {}, {1}, {2}, {3}, {4}}, "100"));
  }
};

QTEST_MAIN(TableUndoTest)
#include "table_undo_test.moc"
