#include "ui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <utility>

#include "ui/indicator.h"
#include "ui/status_panel.h"
#include "ui/string_grid.h"

namespace ui {

namespace {

constexpr int kRows = table::CellStore::kRows;

// An indicator reads as its hint, "Индикатор n выхода", with its state.
class IndicatorAccessible : public QAccessibleWidget {
 public:
  explicit IndicatorAccessible(Indicator* indicator)
      : QAccessibleWidget(indicator, QAccessible::StaticText) {}

  QString text(QAccessible::Text t) const override {
    const auto* indicator = static_cast<const Indicator*>(widget());
    switch (t) {
      case QAccessible::Name: return indicator->toolTip();
      case QAccessible::Description:
        return indicator->isOn() ? QStringLiteral("включён") : QStringLiteral("выключен");
      default: return QAccessibleWidget::text(t);
    }
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = static_cast<const Indicator*>(widget())->isOn();
    return s;
  }
};

class StatusPanelAccessible : public QAccessibleWidget {
 public:
  explicit StatusPanelAccessible(StatusPanel* panel)
      : QAccessibleWidget(panel, QAccessible::StaticText) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return static_cast<const StatusPanel*>(widget())->text();
    return QAccessibleWidget::text(t);
  }
};

// A text as a screen reader reads it: the whole of it, the caret, the
// selection, where each character stands on the screen. Read-only unless a
// subclass moves the caret or selects.
class TextReader : public QAccessibleTextInterface {
 public:
  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index == 0) selected(start, end);
  }
  int selectionCount() const override {
    int start = 0;
    int end = 0;
    return selected(&start, &end) ? 1 : 0;
  }
  void addSelection(int start, int end) override { select(start, end); }
  void removeSelection(int) override { select(cursorPosition(), cursorPosition()); }
  void setSelection(int, int start, int end) override { select(start, end); }
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QString text(int start, int end) const override {
    const QString all = whole();
    if (start < 0 || end > all.size() || start > end) return {};
    return all.mid(start, end - start);
  }
  int characterCount() const override { return int(whole().size()); }
  QRect characterRect(int offset) const override {
    const QString all = whole();
    if (offset < 0 || offset >= all.size()) return {};
    const QFontMetrics metrics(font());
    const QPoint at = origin();
    return QRect(at.x() + metrics.horizontalAdvance(all.left(offset)), at.y(),
                 metrics.horizontalAdvance(all.at(offset)), metrics.height());
  }
  int offsetAtPoint(const QPoint& point) const override {
    for (int i = 0; i < characterCount(); ++i) {
      if (characterRect(i).contains(point)) return i;
    }
    return -1;
  }
  void scrollToSubstring(int, int) override {}
  QString attributes(int, int* start, int* end) const override {
    *start = 0;
    *end = characterCount();
    return {};
  }

 protected:
  virtual QString whole() const = 0;
  virtual QFont font() const = 0;
  // Where the first character's box starts on the screen.
  virtual QPoint origin() const = 0;
  virtual bool selected(int*, int*) const { return false; }
  virtual void select(int, int) {}
};

// One cell of the table; made when a screen reader asks for it. While the
// in-place editor is open on it, the editor is its one child. A header cell
// is named by its step's number and tells the marker as its description.
class CellAccessible : public QAccessibleInterface,
                       public QAccessibleTableCellInterface,
                       public TextReader {
 public:
  CellAccessible(StringGridView* grid, int row, int col) : grid_(grid), row_(row), col_(col) {}

  bool isValid() const override {
    return !grid_.isNull() && row_ < kRows && col_ < grid_->model().colCount();
  }
  QObject* object() const override { return nullptr; }
  QAccessibleInterface* parent() const override { return table(); }
  int childCount() const override { return editing() ? 1 : 0; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && editing() ? QAccessible::queryAccessibleInterface(grid_->editor())
                                   : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && editing() && child->object() == grid_->editor() ? 0 : -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    QAccessibleInterface* editor = child(0);
    return editor != nullptr && editor->rect().contains(x, y) ? editor : nullptr;
  }
  QAccessibleInterface* focusChild() const override {
    QAccessibleInterface* editor = child(0);
    return editor != nullptr && editor->state().focused ? editor : nullptr;
  }

  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (row_ == 0) {
      if (t == QAccessible::Name) return QString::number(col_ + 1);
      if (t == QAccessible::Description) return whole();
      return {};
    }
    return t == QAccessible::Name ? whole() : QString();
  }
  using TextReader::text;
  void setText(QAccessible::Text, const QString&) override {}

  QRect rect() const override {
    if (!isValid()) return {};
    const QRect r = grid_->cellRect(col_, row_);
    return QRect(grid_->viewport()->mapToGlobal(r.topLeft()), r.size());
  }

  QAccessible::Role role() const override {
    return row_ == 0 ? QAccessible::ColumnHeader : QAccessible::Cell;
  }

  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) {
      s.invalid = true;
      return s;
    }
    const int left = grid_->leftCol();
    if (col_ < left || col_ >= left + grid_->visibleColumns() + 1) {
      s.invisible = true;
      s.offscreen = true;
    }
    if (row_ > 0) {
      s.focusable = true;
      s.selectable = true;
      s.editable = true;
      if (isSelected()) {
        s.selected = true;
        s.focused = grid_->hasFocus();
      }
    }
    return s;
  }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableCellInterface) {
      return static_cast<QAccessibleTableCellInterface*>(this);
    }
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return nullptr;
  }

  bool isSelected() const override {
    const auto& m = grid_->model();
    return isValid() && row_ == m.currentRow() && col_ == m.currentCol();
  }
  QList<QAccessibleInterface*> columnHeaderCells() const override;
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int columnIndex() const override { return col_; }
  int rowIndex() const override { return row_; }
  int columnExtent() const override { return 1; }
  int rowExtent() const override { return 1; }
  QAccessibleInterface* table() const override {
    return grid_.isNull() ? nullptr : QAccessible::queryAccessibleInterface(grid_.data());
  }

 protected:
  QString whole() const override {
    return isValid() ? QString::fromStdString(grid_->model().cells().text(col_, row_)) : QString();
  }
  QFont font() const override { return grid_.isNull() ? QFont() : grid_->font(); }
  QPoint origin() const override {
    // As the table draws it: 2 pixels in, centred in the row.
    const QRect r = rect();
    return QPoint(r.left() + 2, r.top() + (r.height() - QFontMetrics(font()).height()) / 2);
  }

 private:
  bool editing() const {
    return isValid() && grid_->editorOpen() && grid_->editRow() == row_ && grid_->editCol() == col_;
  }

  QPointer<StringGridView> grid_;
  int row_;
  int col_;
};

// The open editor: its text, caret and selection, inside the cell it edits.
class CellEditorAccessible : public QAccessibleWidget, public TextReader {
 public:
  explicit CellEditorAccessible(CellEditor* editor)
      : QAccessibleWidget(editor, QAccessible::EditableText) {}

  CellEditor* editor() const { return static_cast<CellEditor*>(widget()); }

  QAccessibleInterface* parent() const override {
    StringGridView* grid = editor()->grid();
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(grid);
    auto* cells = table != nullptr ? table->tableInterface() : nullptr;
    if (cells == nullptr || !grid->editorOpen()) return table;
    return cells->cellAt(grid->editRow(), grid->editCol());
  }

  QString text(QAccessible::Text t) const override {
    const StringGridView* grid = editor()->grid();
    if (t == QAccessible::Name && grid->editorOpen()) {
      return QStringLiteral("Канал %1, шаг %2").arg(grid->editRow()).arg(grid->editCol() + 1);
    }
    if (t == QAccessible::Value) return editor()->text();
    return QAccessibleWidget::text(t);
  }
  using TextReader::text;

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.editable = true;
    s.selectableText = true;
    return s;
  }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  int cursorPosition() const override { return editor()->cursorPosition(); }
  void setCursorPosition(int position) override { editor()->setCursorPosition(position); }
  int offsetAtPoint(const QPoint& point) const override {
    return editor()->cursorPositionAt(editor()->mapFromGlobal(point));
  }

 protected:
  QString whole() const override { return editor()->text(); }
  QFont font() const override { return editor()->font(); }
  QPoint origin() const override {
    // A frameless line edit draws its text 2 pixels in, centred.
    const int top = (editor()->height() - editor()->fontMetrics().height()) / 2;
    return editor()->mapToGlobal(QPoint(2, top));
  }
  bool selected(int* start, int* end) const override {
    if (!editor()->hasSelectedText()) return false;
    *start = editor()->selectionStart();
    *end = *start + int(editor()->selectedText().size());
    return true;
  }
  void select(int start, int end) override { editor()->setSelection(start, end - start); }
};

// The table: 49 rows (the marker row first) by the table's columns. Its
// children are the cells, row by row, so a long table costs nothing until a
// screen reader asks for a cell.
class GridAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
 public:
  explicit GridAccessible(StringGridView* grid) : QAccessibleWidget(grid, QAccessible::Table) {}

  ~GridAccessible() override {
    for (QAccessible::Id id : std::as_const(cells_)) QAccessible::deleteAccessibleInterface(id);
  }

  StringGridView* grid() const { return static_cast<StringGridView*>(widget()); }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  int childCount() const override { return rowCount() * columnCount(); }
  QAccessibleInterface* child(int index) const override {
    const int cols = columnCount();
    if (index < 0 || cols == 0) return nullptr;
    return cellAt(index / cols, index % cols);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child == nullptr || child->parent() != this) return -1;
    auto* cell = const_cast<QAccessibleInterface*>(child)->tableCellInterface();
    if (cell == nullptr) return -1;
    return cell->rowIndex() * columnCount() + cell->columnIndex();
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    const QPoint p = grid()->viewport()->mapFromGlobal(QPoint(x, y));
    const int col = grid()->columnAt(p.x());
    const int row = grid()->rowAt(p.y());
    return col >= 0 && row >= 0 ? cellAt(row, col) : nullptr;
  }
  QAccessibleInterface* focusChild() const override {
    if (grid()->editorOpen() && grid()->editor()->hasFocus()) {
      return cellAt(grid()->editRow(), grid()->editCol());
    }
    if (!grid()->hasFocus()) return nullptr;
    const auto& m = grid()->model();
    return cellAt(m.currentRow(), m.currentCol());
  }

  // QAccessibleTableInterface
  QAccessibleInterface* caption() const override { return nullptr; }
  QAccessibleInterface* summary() const override { return nullptr; }
  QAccessibleInterface* cellAt(int row, int col) const override {
    if (row < 0 || row >= rowCount() || col < 0 || col >= columnCount()) return nullptr;
    const quint64 key = (quint64(quint32(col)) << 8) | quint64(row);
    if (const auto found = cells_.constFind(key); found != cells_.constEnd()) {
      if (QAccessibleInterface* cell = QAccessible::accessibleInterface(*found)) return cell;
    }
    auto* cell = new CellAccessible(grid(), row, col);
    cells_.insert(key, QAccessible::registerAccessibleInterface(cell));
    return cell;
  }
  int selectedCellCount() const override { return focusCell() != nullptr ? 1 : 0; }
  QList<QAccessibleInterface*> selectedCells() const override {
    QAccessibleInterface* cell = focusCell();
    return cell != nullptr ? QList<QAccessibleInterface*>{cell} : QList<QAccessibleInterface*>{};
  }
  QString columnDescription(int column) const override { return QString::number(column + 1); }
  QString rowDescription(int row) const override {
    return row == 0 ? QString() : QStringLiteral("Канал %1").arg(row);
  }
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override { return 0; }
  int columnCount() const override { return grid()->model().colCount(); }
  int rowCount() const override { return kRows; }
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override { return {}; }
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int) const override { return false; }
  // Only one cell is ever chosen: rows and columns are not.
  bool selectRow(int) override { return false; }
  bool selectColumn(int) override { return false; }
  bool unselectRow(int) override { return false; }
  bool unselectColumn(int) override { return false; }
  void modelChange(QAccessibleTableModelChangeEvent*) override {}

 private:
  QAccessibleInterface* focusCell() const {
    const auto& m = grid()->model();
    return cellAt(m.currentRow(), m.currentCol());
  }

  // Cell interfaces by (column, row); the ids stay valid while the table
  // lives, and a cell beyond the columns reports itself invalid.
  mutable QHash<quint64, QAccessible::Id> cells_;
};

QList<QAccessibleInterface*> CellAccessible::columnHeaderCells() const {
  if (row_ == 0 || grid_.isNull()) return {};
  QAccessibleInterface* header = table();
  auto* tableInterface = header != nullptr ? header->tableInterface() : nullptr;
  QAccessibleInterface* cell =
      tableInterface != nullptr ? tableInterface->cellAt(0, col_) : nullptr;
  return cell != nullptr ? QList<QAccessibleInterface*>{cell} : QList<QAccessibleInterface*>{};
}

QAccessibleInterface* factory(const QString& className, QObject* object) {
  // Our windows are plain widgets, which would read as mere panes.
  static const QStringList windows = {"ui::TForm1", "ui::TForm2", "ui::TForm3", "ui::TForm4",
                                      "ui::BoardWindow"};
  if (windows.contains(className)) {
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
  }
  if (className == QLatin1String("ui::Indicator")) {
    return new IndicatorAccessible(static_cast<Indicator*>(object));
  }
  if (className == QLatin1String("ui::StatusPanel")) {
    return new StatusPanelAccessible(static_cast<StatusPanel*>(object));
  }
  if (className == QLatin1String("ui::CellEditor")) {
    return new CellEditorAccessible(static_cast<CellEditor*>(object));
  }
  if (className == QLatin1String("ui::StringGridView")) {
    return new GridAccessible(static_cast<StringGridView*>(object));
  }
  return nullptr;
}

}  // namespace

void installAccessibility() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  QAccessible::installFactory(factory);
}

ChangeGatherer::ChangeGatherer(int periodMs, Tell tell) : tell_(std::move(tell)) {
  timer_.setSingleShot(true);
  timer_.setInterval(periodMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    const auto states = std::exchange(states_, {});
    const auto texts = std::exchange(texts_, {});
    tell_(states, texts);
  });
}

void ChangeGatherer::add(QWidget* widget, Kind kind) {
  auto& pending = kind == Kind::State ? states_ : texts_;
  if (!pending.contains(widget)) pending.append(widget);
  if (!timer_.isActive()) timer_.start();
}

namespace {

void tellScreenReader(const QList<QPointer<QWidget>>& states,
                      const QList<QPointer<QWidget>>& texts) {
  if (!QAccessible::isActive()) return;
  for (const QPointer<QWidget>& widget : states) {
    if (widget.isNull()) continue;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent state(widget, changed);
    QAccessible::updateAccessibility(&state);
    QAccessibleEvent description(widget, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&description);
  }
  for (const QPointer<QWidget>& widget : texts) {
    if (widget.isNull()) continue;
    QAccessibleEvent name(widget, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&name);
  }
}

ChangeGatherer& gatherer() {
  // Lives as long as the program.
  static auto* gatherer = new ChangeGatherer(kAnnouncePeriodMs, tellScreenReader);
  return *gatherer;
}

}  // namespace

void announceTextChange(QWidget* widget) {
  if (QAccessible::isActive()) gatherer().add(widget, ChangeGatherer::Kind::Text);
}

void announceStateChange(QWidget* widget) {
  if (QAccessible::isActive()) gatherer().add(widget, ChangeGatherer::Kind::State);
}

void announceCurrentCell(StringGridView* grid) {
  if (!QAccessible::isActive() || !grid->hasFocus()) return;
  const auto& m = grid->model();
  QAccessibleEvent event(grid, QAccessible::Focus);
  event.setChild(m.currentRow() * m.colCount() + m.currentCol());
  QAccessible::updateAccessibility(&event);
}

void announceColumns(StringGridView* grid) {
  if (!QAccessible::isActive()) return;
  QAccessibleTableModelChangeEvent event(grid, QAccessibleTableModelChangeEvent::ModelReset);
  QAccessible::updateAccessibility(&event);
}

}  // namespace ui
