#include "ui/table_actions.h"

#include <QKeyEvent>
#include <QTimer>

namespace ui {

TableActions::TableActions(StringGridView* grid, program::Program& program, QWidget* window)
    : QObject(grid), grid_(grid), program_(program), menu_(new QMenu(grid)) {
  menu_->setObjectName("ColumnMenu");
  dialog_ = new PatternDialog(window);
  dialog_->setWindowModality(Qt::WindowModal);

  auto show = [this](std::optional<int> col) {
    if (col) grid_->showColumn(*col);
  };
  undoAction = action("Отменить", {QKeySequence(Qt::CTRL | Qt::Key_Z)}, window, Qt::WindowShortcut,
                      [this, show](int) { show(program_.table().undo()); });
  redoAction =
      action("Повторить",
             {QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)},
             window, Qt::WindowShortcut, [this, show](int) { show(program_.table().redo()); });
  const auto inTable = Qt::WidgetWithChildrenShortcut;
  copyAction = action("Копировать шаг", {QKeySequence(Qt::CTRL | Qt::Key_C)}, grid, inTable,
                      [this](int col) { program_.table().copyColumn(col); });
  cutAction = action("Вырезать шаг", {QKeySequence(Qt::CTRL | Qt::Key_X)}, grid, inTable,
                     [this](int col) { program_.table().cutColumn(col); });
  pasteAction = action("Вставить шаг", {QKeySequence(Qt::CTRL | Qt::Key_V)}, grid, inTable,
                       [this](int col) { program_.table().pasteColumn(col); });
  duplicateAction = action("Дублировать шаг", {QKeySequence(Qt::CTRL | Qt::Key_D)}, grid, inTable,
                           [this](int col) { program_.table().duplicateColumn(col); });
  insertEmptyAction = action("Вставить пустой шаг", {QKeySequence(Qt::Key_Insert)}, grid, inTable,
                             [this](int col) { program_.table().insertEmptyColumn(col); });
  deleteAction = action("Удалить шаг", {QKeySequence(Qt::CTRL | Qt::Key_Delete)}, grid, inTable,
                        [this](int col) { program_.table().deleteColumn(col); });
  patternsAction = action("Шаблон шагов…", {}, grid, inTable, [this](int col) {
    dialog_->setColumn(col);
    dialog_->open();
  });
  connect(dialog_, &QDialog::accepted, this, [this] {
    grid_->closeEditor();
    program_.table().insertPattern(dialog_->column(), dialog_->pattern());
    grid_->showColumn(dialog_->column());
  });
  // Back to the table either way, ready for the next key (Ctrl+Z).
  connect(dialog_, &QDialog::finished, this, [this] {
    grid_->window()->activateWindow();
    grid_->setFocus();
  });

  title_ = menu_->addAction(QString());
  title_->setEnabled(false);
  menu_->addSeparator();
  menu_->addActions({undoAction, redoAction});
  menu_->addSeparator();
  menu_->addActions(
      {copyAction, cutAction, pasteAction, duplicateAction, insertEmptyAction, deleteAction});
  menu_->addSeparator();
  menu_->addAction(patternsAction);
  // A command chosen in the menu runs after the menu has hidden, and ends
  // the menu's time itself; a menu closed without a choice ends it here.
  connect(menu_, &QMenu::aboutToHide, this, [this] {
    QTimer::singleShot(0, this, [this, shown = menusShown_] {
      if (shown == menusShown_) endMenu();
    });
  });

  grid_->onColumnMenu = [this](int col, const QPoint& at) { showMenu(col, at); };
  // Undo and redo in the open cell editor are the table's, not the
  // editor's own: its typing is a step of the table's history.
  grid_->editor()->installEventFilter(this);
}

QAction* TableActions::action(const QString& text, const QList<QKeySequence>& keys, QWidget* owner,
                              Qt::ShortcutContext context,
                              const std::function<void(int col)>& edit) {
  auto* a = new QAction(text, owner);
  a->setShortcuts(keys);
  a->setShortcutContext(context);
  owner->addAction(a);
  connect(a, &QAction::triggered, this, [this, edit] {
    const int col = column();
    endMenu();
    grid_->closeEditor();
    edit(col);
  });
  return a;
}

int TableActions::column() const {
  return menuColumn_ >= 0 ? menuColumn_ : program_.table().currentCol();
}

void TableActions::endMenu() {
  menuColumn_ = -1;
  undoAction->setEnabled(true);
  redoAction->setEnabled(true);
  pasteAction->setEnabled(true);
}

void TableActions::showMenu(int col, const QPoint& at) {
  ++menusShown_;
  menuColumn_ = col;
  title_->setText(QString("Шаг %1").arg(col + 1));
  undoAction->setEnabled(program_.table().history().canUndo());
  redoAction->setEnabled(program_.table().history().canRedo());
  pasteAction->setEnabled(program_.table().hasCopiedColumn());
  menu_->popup(at);
}

bool TableActions::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const QKeySequence pressed(key->keyCombination());
    for (const QAction* a : {undoAction, redoAction}) {
      // Left unaccepted, the key goes to the window's shortcut.
      if (a->shortcuts().contains(pressed)) return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace ui
