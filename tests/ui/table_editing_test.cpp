// The sequence table driven with real mouse, key and wheel events.
#include <QWheelEvent>

#include "support/sequencer_setup.h"
#include "ui_harness.h"

using testing_support::putCell;

using ui_testing::centreOf;
using ui_testing::clickCell;
using ui_testing::Harness;

namespace {

void wheel(ui::StringGridView* grid, int steps, QWidget* target = nullptr) {
  // Towards the user is a negative angle: the current cell moves down.
  if (!target) target = grid->viewport();
  const QPoint at = target->rect().center();
  QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120 * steps), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  // As from the window system: a widget with no use for it passes it on.
  QSpontaneKeyEvent::setSpontaneous(&event);
  qApp->notify(target, &event);
}

// A key as the window system delivers it, with its text (Ctrl+M types a
// carriage return).
void sendKey(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(target, &release);
}

}  // namespace

class TableEditingTest : public QObject {
  Q_OBJECT

  // A table with `columns` data columns shown (and the trailing one).
  static void showColumns(Harness& h, int columns) {
    for (int c = 0; c < columns; ++c) putCell(h.table(), c, 48, "0");
    h.reveal(columns);
    QCOMPARE(h.table().colCount(), columns + 1);
  }

  static QString cell(Harness& h, int col, int row) {
    return QString::fromStdString(h.table().cells().text(col, row));
  }

 private slots:
  void clickTogglesAndSecondClickEmptiesAndOpensTheEditor() {
    Harness h;
    showColumns(h, 3);
    ui::StringGridView* grid = h.form().StringGrid1;
    clickCell(grid, 1, 5);
    QCOMPARE(cell(h, 1, 5), QString("1"));
    QCOMPARE(h.form().statusPanels[0]->text(), QString("Позиция 2"));
    QVERIFY(!grid->editorOpen());
    clickCell(grid, 1, 5);
    QCOMPARE(cell(h, 1, 5), QString(""));
    QVERIFY(grid->editorOpen());
    QCOMPARE(grid->editor()->text(), QString(""));
  }

  void freeTextTypedInTheEditorIsKeptAsTyped() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    clickCell(grid, 0, 3);  // "1"
    grid->setFocus();
    QTest::keyClick(grid, 'a');  // the first character opens the editor and goes into it
    QVERIFY(grid->editorOpen());
    QTest::keyClick(grid->editor(), 'b');
    QCOMPARE(grid->editor()->text(), QString("ab"));
    QTest::keyClick(grid->editor(), Qt::Key_Down);  // leaves the cell, keeping the text
    QVERIFY(!grid->editorOpen());
    QCOMPARE(cell(h, 0, 3), QString("ab"));
    QCOMPARE(cell(h, 0, 4), QString("1"));  // the move chose the cell below
  }

  void escapeRestoresTheOldText() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    clickCell(grid, 0, 3);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_F2);
    QVERIFY(grid->editorOpen());
    QTest::keyClicks(grid->editor(), "zz");
    QTest::keyClick(grid->editor(), Qt::Key_Escape);
    QVERIFY(!grid->editorOpen());
    QCOMPARE(cell(h, 0, 3), QString("1"));
  }

  void arrowMovesToggleAndMovesThatCannotHappenDoNot() {
    Harness h;
    showColumns(h, 3);
    ui::StringGridView* grid = h.form().StringGrid1;
    h.table().setCurrentCell(0, 1);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Up);  // row 1: cannot move
    QCOMPARE(cell(h, 0, 1), QString(""));
    QCOMPARE(h.form().statusPanels[0]->text(), QString(""));
    QTest::keyClick(grid, Qt::Key_Left);  // column 0: cannot move
    QCOMPARE(cell(h, 0, 1), QString(""));
    QTest::keyClick(grid, Qt::Key_Down);
    QTest::keyClick(grid, Qt::Key_Down);
    QCOMPARE(cell(h, 0, 2), QString("1"));
    QCOMPARE(cell(h, 0, 3), QString("1"));
    QTest::keyClick(grid, Qt::Key_Right);
    QCOMPARE(cell(h, 1, 3), QString("1"));
    QCOMPARE(h.form().statusPanels[0]->text(), QString("Позиция 2"));
    QTest::keyClick(grid, Qt::Key_End);
    QCOMPARE(h.table().currentCol(), 3);
    QCOMPARE(cell(h, 3, 3), QString("1"));
    QTest::keyClick(grid, Qt::Key_End);  // already there
    QCOMPARE(cell(h, 3, 3), QString("1"));
    QTest::keyClick(grid, Qt::Key_PageDown);
    QCOMPARE(h.table().currentRow(), 48);
    QCOMPARE(cell(h, 3, 48), QString("1"));
    QTest::keyClick(grid, Qt::Key_Home);
    QCOMPARE(h.table().currentCol(), 0);
  }

  void enterWalksRightAndStopsAtTheLastColumn() {
    Harness h;
    showColumns(h, 3);
    ui::StringGridView* grid = h.form().StringGrid1;
    clickCell(grid, 0, 7);  // "1", editor closed
    QCOMPARE(cell(h, 0, 7), QString("1"));
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Return);
    QCOMPARE(h.table().currentCol(), 1);
    QCOMPARE(cell(h, 1, 7), QString("1"));
    QVERIFY(grid->editorOpen());
    QCOMPARE(grid->editor()->text(), QString("1"));
    QTest::keyClick(grid->editor(), Qt::Key_Return);
    QTest::keyClick(grid->editor(), Qt::Key_Return);
    QCOMPARE(h.table().currentCol(), 3);
    QCOMPARE(cell(h, 2, 7), QString("1"));
    QCOMPARE(cell(h, 3, 7), QString("1"));
    QCOMPARE(h.form().statusPanels[0]->text(), QString("Позиция 4"));
    // Last column: Enter toggles nothing and only closes / opens the editor.
    QVERIFY(grid->editorOpen());
    QTest::keyClick(grid->editor(), Qt::Key_Return);
    QVERIFY(!grid->editorOpen());
    QCOMPARE(cell(h, 3, 7), QString("1"));
    QTest::keyClick(grid, Qt::Key_Return);
    QVERIFY(grid->editorOpen());
    QCOMPARE(cell(h, 3, 7), QString("1"));
  }

  void wheelMovesOneRowPerStepWithinTheChannels() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    h.table().setCurrentCell(1, 5);
    grid->setFocus();
    wheel(grid, 3);
    QCOMPARE(h.table().currentRow(), 8);
    QCOMPARE(cell(h, 1, 5), QString(""));
    QCOMPARE(cell(h, 1, 6), QString("1"));
    QCOMPARE(cell(h, 1, 7), QString("1"));
    QCOMPARE(cell(h, 1, 8), QString("1"));
    h.table().setCurrentCell(1, 48);
    const QString last = cell(h, 1, 48);
    wheel(grid, 2);
    QCOMPARE(h.table().currentRow(), 48);
    QCOMPARE(cell(h, 1, 48), last);
    wheel(grid, -1);
    QCOMPARE(h.table().currentRow(), 47);
    QCOMPARE(cell(h, 1, 47), QString("1"));
  }

  void headerPressNeverChoosesRowZeroAndDragsTheColumn() {
    Harness h;
    showColumns(h, 4);
    ui::StringGridView* grid = h.form().StringGrid1;
    putCell(h.table(), 0, 2, "1");
    putCell(h.table(), 0, 3, "abc");
    h.table().setCurrentCell(2, 10);
    // A click on the header chooses nothing.
    clickCell(grid, 1, 0);
    QCOMPARE(h.table().currentRow(), 10);
    QCOMPARE(h.table().currentCol(), 2);
    QCOMPARE(h.form().statusPanels[0]->text(), QString(""));
    // A drag from column 0's header to column 2 moves the column.
    QTest::mousePress(grid->viewport(), Qt::LeftButton, Qt::NoModifier, centreOf(grid, 0, 0));
    QMouseEvent move(QEvent::MouseMove, centreOf(grid, 2, 0),
                     grid->viewport()->mapToGlobal(centreOf(grid, 2, 0)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &move);
    QTest::mouseRelease(grid->viewport(), Qt::LeftButton, Qt::NoModifier, centreOf(grid, 2, 0));
    QCOMPARE(cell(h, 2, 2), QString("1"));
    QCOMPARE(cell(h, 2, 3), QString("abc"));
    QCOMPARE(cell(h, 0, 2), QString(""));
    QCOMPARE(h.table().currentRow(), 10);
  }

  void doubleClickOnAnUnchosenCellTogglesOnce() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    // What the window system delivers: press, release, the second press as a
    // double click, release.
    const QPoint at = centreOf(grid, 1, 9);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(grid->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(cell(h, 1, 9), QString("1"));
  }

  void rightPressChoosesNothing() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    QTest::mouseClick(grid->viewport(), Qt::RightButton, Qt::NoModifier, centreOf(grid, 1, 9));
    QCOMPARE(cell(h, 1, 9), QString(""));
    QCOMPARE(h.table().currentCol(), 0);
  }

  void lostColumnsMoveTheCurrentCellWithoutToggling() {
    Harness h;
    showColumns(h, 4);
    ui::StringGridView* grid = h.form().StringGrid1;
    clickCell(grid, 4, 2);  // the trailing column: "1" there grows the table
    h.form().program().Narahiv();
    QCOMPARE(h.table().colCount(), 6);
    clickCell(grid, 4, 2);  // empty again, editor open
    QTest::keyClick(grid->editor(), Qt::Key_Escape);
    for (int r = 1; r <= 48; ++r) putCell(h.table(), 3, r, "");
    putCell(h.table(), 2, 48, "");
    putCell(h.table(), 1, 48, "");
    for (int i = 0; i < 4; ++i) h.form().program().Narahiv();
    QCOMPARE(h.table().colCount(), 2);
    QCOMPARE(h.table().currentCol(), 1);
    QCOMPARE(cell(h, 1, 2), QString(""));
  }

  // ------------------------------------------------------------ the editor

  void ctrlMInTheEditorWalksOneColumnAndTakesTheEditorAlong() {
    Harness h;
    showColumns(h, 4);
    ui::StringGridView* grid = h.form().StringGrid1;
    h.table().setCurrentCell(0, 7);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_F2);
    QVERIFY(grid->editorOpen());
    // The line editor has no use for Ctrl+M and passes it on to the table:
    // the key handler still sees it once.
    sendKey(grid->editor(), Qt::Key_M, Qt::ControlModifier, "\r");
    QCOMPARE(h.table().currentCol(), 1);
    QCOMPARE(cell(h, 1, 7), QString("1"));
    QCOMPARE(cell(h, 2, 7), QString(""));
    QCOMPARE(h.form().statusPanels[0]->text(), QString("Позиция 2"));
    // As after Enter: the editor has left the old cell for the new one.
    QVERIFY(grid->editorOpen());
    QCOMPARE(grid->editor()->geometry(), grid->cellRect(1, 7));
    QCOMPARE(grid->editor()->text(), QString("1"));
    // With the editor closed it is Enter as well.
    QTest::keyClick(grid->editor(), Qt::Key_Escape);
    QVERIFY(!grid->editorOpen());
    sendKey(grid, Qt::Key_M, Qt::ControlModifier, "\r");
    QCOMPARE(h.table().currentCol(), 2);
    QCOMPARE(cell(h, 2, 7), QString("1"));
    QCOMPARE(cell(h, 3, 7), QString(""));
  }

  void otherKeysTheEditorIgnoresReachTheHandlerOnce() {
    Harness h;
    showColumns(h, 3);
    ui::StringGridView* grid = h.form().StringGrid1;
    std::vector<char> seen;
    const auto handler = grid->onKeyPress;
    grid->onKeyPress = [&](char key) {
      seen.push_back(key);
      return handler(key);
    };
    h.table().setCurrentCell(0, 2);
    grid->setFocus();
    QTest::keyClick(grid, 'x');  // opens the editor; not seen by the handler
    QVERIFY(grid->editorOpen());
    QTest::keyClick(grid->editor(), 'y');
    sendKey(grid->editor(), Qt::Key_G, Qt::ControlModifier,
            QString(QChar(7)));  // ignored by the editor
    QTest::keyClick(grid->editor(), Qt::Key_Backspace);
    QCOMPARE(seen, (std::vector<char>{'y', '\a', '\b'}));
    QCOMPARE(cell(h, 0, 2), QString("x"));
    // Escape closes the editor, the cell taking back its text; with the
    // editor closed it is a character for the handler like any other.
    QTest::keyClick(grid->editor(), Qt::Key_Escape);
    QVERIFY(!grid->editorOpen());
    QCOMPARE(cell(h, 0, 2), QString(""));
    QTest::keyClick(grid, Qt::Key_Escape);
    QCOMPARE(seen, (std::vector<char>{'y', '\a', '\b', '\x1b'}));
  }

  void typedTextReachesTheCellAsItIsTyped() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    // "0" typed into the trailing column makes the table grow while the
    // editor is still open.
    h.table().setCurrentCell(2, 5);
    grid->setFocus();
    QTest::keyClick(grid, '0');
    QVERIFY(grid->editorOpen());
    QCOMPARE(cell(h, 2, 5), QString("0"));
    h.form().program().Narahiv();
    QCOMPARE(h.table().colCount(), 4);
    QVERIFY(grid->editorOpen());
    QTest::keyClick(grid->editor(), 'k');
    QCOMPARE(cell(h, 2, 5), QString("0k"));
    QTest::keyClick(grid->editor(), Qt::Key_Backspace);
    QCOMPARE(cell(h, 2, 5), QString("0"));
    // Escape takes the cell back to the text it had when the editor opened.
    QTest::keyClick(grid->editor(), Qt::Key_Escape);
    QCOMPARE(cell(h, 2, 5), QString(""));
  }

  void aOneTypedDuringARunIsPlayedAtTheNextStep() {
    Harness h;
    showColumns(h, 2);
    ui::TForm1& f = h.form();
    ui::StringGridView* grid = f.StringGrid1;
    // Only the test's own steps.
    f.Edit1->setText("100000");
    f.program().Narahiv();
    QTest::mouseClick(f.BitBtn(1), Qt::LeftButton);  // start
    QVERIFY(h.tick());                               // plays column 0
    QTest::mouseClick(f.BitBtn(1), Qt::LeftButton);  // pause: column 0 again and again
    QVERIFY(h.tick());
    QVERIFY(!h.board().channelOutput(9));
    h.table().setCurrentCell(0, 9);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_F2);
    QTest::keyClick(grid->editor(), Qt::Key_Backspace);
    QTest::keyClick(grid->editor(), '1');
    QVERIFY(grid->editorOpen());
    QVERIFY(h.tick());
    QVERIFY(h.board().channelOutput(9));
    QVERIFY(f.Label(9)->isOn());
    QTest::mouseClick(f.BitBtn(2), Qt::LeftButton);
    QVERIFY(h.framesSent());
  }

  void wheelMovesTheCurrentCellWhileTheEditorIsOpen() {
    Harness h;
    showColumns(h, 2);
    ui::StringGridView* grid = h.form().StringGrid1;
    h.table().setCurrentCell(1, 5);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_F2);
    QTest::keyClicks(grid->editor(), "ab");
    // Over the editor: the editor has no use for the wheel and passes it on.
    wheel(grid, 2, grid->editor());
    QCOMPARE(h.table().currentRow(), 7);
    QVERIFY(!grid->editorOpen());
    QCOMPARE(cell(h, 1, 5), QString("ab"));
    QCOMPARE(cell(h, 1, 6), QString("1"));
    QCOMPARE(cell(h, 1, 7), QString("1"));
    QCOMPARE(h.form().statusPanels[0]->text(), QString("Позиция 2"));
  }

  void aOneInTheLastColumnGrowsTheTableWithinATick() {
    Harness h;
    ui::StringGridView* grid = h.form().StringGrid1;
    QCOMPARE(h.table().colCount(), 1);
    clickCell(grid, 0, 12);
    QVERIFY(ui_testing::waitFor([&] { return h.table().colCount() == 2; }, 1000));
  }
};

QTEST_MAIN(TableEditingTest)
#include "table_editing_test.moc"
