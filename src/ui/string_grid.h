// The sequence table's view: draws the cells of the sequencer's cell store,
// row 0 as a fixed header, and turns mouse, keys and wheel into the table's
// notifications. No widget per cell, so very long tables stay cheap.
#pragma once

#include <QAbstractScrollArea>
#include <QLineEdit>
#include <QPainter>
#include <QStaticText>
#include <array>
#include <functional>
#include <string>

#include "program/program.h"

namespace ui {

class StringGridView;

// The table's in-place editor. A class of its own, so that a screen reader
// is shown it inside the cell it edits.
class CellEditor : public QLineEdit {
  Q_OBJECT

 public:
  explicit CellEditor(StringGridView* grid);
  StringGridView* grid() const { return grid_; }

 private:
  StringGridView* grid_;
};

class StringGridView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr int kColWidth = 12;
  static constexpr int kRowHeight = 15;
  static constexpr int kLine = 1;
  static constexpr int kColPitch = kColWidth + kLine;
  static constexpr int kRowPitch = kRowHeight + kLine;

  explicit StringGridView(program::Program& program, QWidget* parent = nullptr);

  // The selection notification (a cell became the chosen one). Set by the
  // window to its click handler.
  std::function<void()> onClick;
  // A character key for the table; returns true when the handler moved the
  // current cell. Set by the window to its key handler.
  std::function<bool(char key)> onKeyPress;
  // The menu of a column's header cell (right button there, or the menu key
  // for the current column), at a point on the screen.
  std::function<void(int col, const QPoint& at)> onColumnMenu;

  // The model changed.
  void columnsChanged();
  void cellsChanged(int col);  // -1: any
  void markerChanged(int col);
  void currentCellChanged();
  void headerColorChanged();

  const sequencer::SequenceTable& model() const { return program_.table(); }
  int leftCol() const { return leftCol_; }
  void setLeftCol(int col);
  int visibleColumns() const;  // columns that fit entirely
  bool editorOpen() const { return editor_->isVisible(); }
  QLineEdit* editor() const { return editor_; }
  // The cell the open editor is on (-1 when closed).
  int editCol() const { return editCol_; }
  int editRow() const { return editRow_; }
  // Closes the editor, its text staying in the cell.
  void closeEditor() { commitEditor(); }
  // Scrolls the column into view.
  void showColumn(int col) { ensureVisible(col); }
  QRect cellRect(int col, int row) const;  // in viewport coordinates
  int columnAt(int x) const;               // -1 outside the columns
  int rowAt(int y) const;                  // -1 outside the rows

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  // Moves the current cell by the user's action; notifies when it moved.
  void moveTo(int col, int row);
  void ensureVisible(int col);
  void updateScrollBar();
  void openEditor(const QString* replaceWith = nullptr);
  void commitEditor();
  void cancelEditor();
  // Enter: the key handler first, then the table's own handling.
  void enterPressed();
  bool handleMoveKey(QKeyEvent* event);
  // Every key for the table, once, whether the table or its editor has the
  // focus. True when the key is used up; false leaves it to the editor when
  // open, else to the table's default handling.
  bool tableKey(QKeyEvent* event);
  // The table or its editor has the focus.
  bool focused() const;

  void paintArea(QPainter& p, const QRect& area);

  // Lays out "1", "0" and "v" for the current font (again after a change).
  void prepareStaticTexts();
  const QStaticText* staticTextFor(const std::string& text) const;

  program::Program& program_;
  CellEditor* editor_;
  int leftCol_ = 0;
  int wheelRemainder_ = 0;
  int dragFrom_ = -1;  // the column dragged by its header, or -1
  int dropAt_ = -1;
  int editCol_ = -1;
  int editRow_ = -1;
  QString editOriginal_;
  QFont staticFont_;
  bool staticPrepared_ = false;
  int staticHeight_ = 0;
  std::array<QStaticText, 3> staticTexts_{QStaticText("1"), QStaticText("0"), QStaticText("v")};
};

}  // namespace ui
