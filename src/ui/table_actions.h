// The table's edit commands with their keys: undo and redo anywhere in the
// main window; copy, cut, paste, duplicate, insert and delete of a whole
// step, and the pattern dialog, while the table has the focus. The step
// edits also make the menu of a column's header cell, where they act on
// that column; from the keyboard they act on the current column.
#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <functional>

#include "program/program.h"
#include "ui/pattern_dialog.h"
#include "ui/string_grid.h"

namespace ui {

class TableActions : public QObject {
  Q_OBJECT

 public:
  TableActions(StringGridView* grid, program::Program& program, QWidget* window);

  QAction* undoAction;
  QAction* redoAction;
  QAction* copyAction;
  QAction* cutAction;
  QAction* pasteAction;
  QAction* duplicateAction;
  QAction* insertEmptyAction;
  QAction* deleteAction;
  QAction* patternsAction;

  QMenu* menu() const { return menu_; }
  // The header cell's menu for column `col`, at a point on the screen.
  void showMenu(int col, const QPoint& at);

 private:
  QAction* action(const QString& text, const QList<QKeySequence>& keys, QWidget* owner,
                  Qt::ShortcutContext context, const std::function<void(int col)>& edit);
  // The column the command is for: the menu's, else the current one.
  int column() const;
  // The menu's column and its greyed commands are done with.
  void endMenu();
  bool eventFilter(QObject* watched, QEvent* event) override;

  StringGridView* grid_;
  program::Program& program_;
  QMenu* menu_;
  QAction* title_;
  PatternDialog* dialog_;
  int menuColumn_ = -1;
  int menusShown_ = 0;
};

}  // namespace ui
