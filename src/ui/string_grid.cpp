#include "ui/string_grid.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>

#include "ui/accessibility.h"

namespace ui {

namespace {

const QColor kCellColor(0xC0, 0xC0, 0xC0);
const QColor kLineColor(0x80, 0x80, 0x80);
const QColor kHeaderLineColor(0, 0, 0);
const QColor kOutsideColor(0xC0, 0xC0, 0xC0);  // the grid's own colour beyond its cells

QColor rgb(table::Rgb value) {
  return QColor((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
}

// The cells keep their fixed colours whatever the desktop's palette, and so
// does their text: the classic window-text colour, on every header colour.
const QColor kTextColor(0, 0, 0);

}  // namespace

CellEditor::CellEditor(StringGridView* grid) : QLineEdit(grid->viewport()), grid_(grid) {}

StringGridView::StringGridView(program::Program& program, QWidget* parent)
    : QAbstractScrollArea(parent), program_(program), editor_(new CellEditor(this)) {
  setFrameShape(QFrame::NoFrame);
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  horizontalScrollBar()->setSingleStep(1);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setMouseTracking(false);
  editor_->setFrame(false);
  editor_->setTextMargins(0, 0, 0, 0);
  editor_->setContentsMargins(0, 0, 0, 0);
  editor_->hide();
  editor_->installEventFilter(this);
  // The cell takes the text as it is typed: the table grows, and a step
  // plays it, while the editor is still open.
  connect(editor_, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (editorOpen()) program_.table().typeCell(editCol_, editRow_, text.toStdString());
  });
  updateScrollBar();
}

bool StringGridView::focused() const {
  return hasFocus() || (editorOpen() && editor_->hasFocus());
}

int StringGridView::visibleColumns() const {
  return std::max(1, viewport()->width() / kColPitch);
}

QRect StringGridView::cellRect(int col, int row) const {
  return QRect((col - leftCol_) * kColPitch, row * kRowPitch, kColWidth, kRowHeight);
}

int StringGridView::columnAt(int x) const {
  if (x < 0) return -1;
  const int col = leftCol_ + x / kColPitch;
  return col < program_.table().colCount() ? col : -1;
}

int StringGridView::rowAt(int y) const {
  if (y < 0) return -1;
  const int row = y / kRowPitch;
  return row < table::CellStore::kRows ? row : -1;
}

void StringGridView::updateScrollBar() {
  const int maxLeft = std::max(0, program_.table().colCount() - visibleColumns());
  QScrollBar* bar = horizontalScrollBar();
  bar->setRange(0, maxLeft);
  bar->setPageStep(visibleColumns());
  if (leftCol_ > maxLeft) setLeftCol(maxLeft);
}

void StringGridView::setLeftCol(int col) {
  col = std::clamp(col, 0, std::max(0, program_.table().colCount() - 1));
  if (col == leftCol_) return;
  leftCol_ = col;
  if (horizontalScrollBar()->value() != col) horizontalScrollBar()->setValue(col);
  if (editorOpen()) editor_->setGeometry(cellRect(editCol_, editRow_));
  viewport()->update();
}

void StringGridView::scrollContentsBy(int, int) {
  // The scroll bar counts columns.
  setLeftCol(horizontalScrollBar()->value());
}

void StringGridView::ensureVisible(int col) {
  if (col < leftCol_) {
    setLeftCol(col);
  } else if (col >= leftCol_ + visibleColumns()) {
    setLeftCol(col - visibleColumns() + 1);
  }
}

void StringGridView::columnsChanged() {
  announceColumns(this);
  updateScrollBar();
  if (editorOpen() && editCol_ >= program_.table().colCount()) commitEditor();
  viewport()->update();
}

void StringGridView::cellsChanged(int col) {
  if (editorOpen() && (col < 0 || col == editCol_)) {
    // Changed by something other than the typing (a clear): the editor
    // shows what the cell now holds.
    const QString now = QString::fromStdString(program_.table().cells().text(editCol_, editRow_));
    if (editor_->text() != now) editor_->setText(now);
  }
  if (col < 0) {
    viewport()->update();
    return;
  }
  if (col < leftCol_ || col > leftCol_ + visibleColumns()) return;
  // The column with its grid line.
  viewport()->update(QRect((col - leftCol_) * kColPitch, 0, kColPitch, viewport()->height()));
}

void StringGridView::markerChanged(int col) {
  if (col < leftCol_ || col > leftCol_ + visibleColumns()) return;
  viewport()->update(cellRect(col, 0));
}

void StringGridView::currentCellChanged() {
  ensureVisible(program_.table().currentCol());
  viewport()->update();
  announceCurrentCell(this);
}

void StringGridView::headerColorChanged() {
  viewport()->update(QRect(0, 0, viewport()->width(), kRowPitch));
}

void StringGridView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  updateScrollBar();
}

void StringGridView::prepareStaticTexts() {
  if (staticPrepared_ && staticFont_ == font()) return;
  staticPrepared_ = true;
  staticFont_ = font();
  staticHeight_ = QFontMetrics(staticFont_).height();
  for (QStaticText& s : staticTexts_) {
    s.setTextFormat(Qt::PlainText);
    s.prepare(QTransform(), staticFont_);
  }
}

const QStaticText* StringGridView::staticTextFor(const std::string& text) const {
  if (text.size() != 1) return nullptr;
  switch (text[0]) {
    case '1': return &staticTexts_[0];
    case '0': return &staticTexts_[1];
    case 'v': return &staticTexts_[2];
    default: return nullptr;
  }
}

void StringGridView::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  // A step redraws a few scattered cells (the marker leaving the last column
  // for the first): paint each piece, not the box around them all.
  for (const QRect& area : event->region()) {
    p.setClipRect(area);
    paintArea(p, area);
  }
}

void StringGridView::paintArea(QPainter& p, const QRect& area) {
  p.fillRect(area, kOutsideColor);

  const int firstCol = leftCol_ + std::max(0, area.left()) / kColPitch;
  const int lastCol =
      std::min(program_.table().colCount() - 1, leftCol_ + area.right() / kColPitch);
  if (lastCol < firstCol) return;
  const int firstRow = std::max(0, area.top() / kRowPitch);
  const int lastRow = std::min(table::CellStore::kRows - 1, area.bottom() / kRowPitch);
  const int right = (lastCol - leftCol_ + 1) * kColPitch;
  const int bottom = table::CellStore::kRows * kRowPitch;

  // Cells, then the grid lines over the gaps between them, then the texts.
  const QColor header = rgb(program_.form().fixedColor());
  const int x0 = (firstCol - leftCol_) * kColPitch;
  if (firstRow == 0) p.fillRect(QRect(x0, 0, right - x0, kRowPitch), header);
  const int bodyTop = std::max(1, firstRow) * kRowPitch;
  if (bodyTop < bottom) p.fillRect(QRect(x0, bodyTop, right - x0, bottom - bodyTop), kCellColor);

  p.setPen(kLineColor);
  for (int col = firstCol; col <= lastCol; ++col) {
    const int x = (col - leftCol_) * kColPitch + kColWidth;
    p.drawLine(x, kRowPitch, x, bottom - 1);
  }
  for (int row = std::max(1, firstRow); row <= lastRow; ++row) {
    const int y = row * kRowPitch + kRowHeight;
    p.drawLine(x0, y, right - 1, y);
  }
  if (firstRow == 0) {
    // The header row looks raised, with a dark line under it.
    p.setPen(header.lighter(160));
    p.drawLine(x0, 0, right - 1, 0);
    for (int col = firstCol; col <= lastCol; ++col) {
      const int x = (col - leftCol_) * kColPitch;
      p.setPen(header.lighter(160));
      p.drawLine(x, 0, x, kRowHeight - 1);
      p.setPen(header.darker(160));
      p.drawLine(x + kColWidth - 1, 1, x + kColWidth - 1, kRowHeight - 1);
      p.setPen(kHeaderLineColor);
      p.drawLine(x + kColWidth, 0, x + kColWidth, kRowHeight);
    }
    p.setPen(kHeaderLineColor);
    p.drawLine(x0, kRowHeight, right - 1, kRowHeight);
  }

  p.setFont(font());
  // Almost every cell holds "1", "0" or the marker: those are laid out once
  // and drawn as static texts, which costs a fraction of a drawText.
  prepareStaticTexts();
  p.setPen(kTextColor);
  for (int col = firstCol; col <= lastCol; ++col) {
    for (int row = firstRow; row <= lastRow; ++row) {
      if (program_.table().cells().isEmpty(col, row)) continue;
      if (editorOpen() && col == editCol_ && row == editRow_) continue;
      const QRect r = cellRect(col, row);
      const std::string& text = program_.table().cells().text(col, row);
      if (const QStaticText* s = staticTextFor(text)) {
        p.drawStaticText(r.left() + 2, r.top() + (r.height() - staticHeight_) / 2, *s);
      } else {
        p.drawText(r.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   QString::fromStdString(text));
      }
    }
  }

  if (hasFocus() && !editorOpen() && program_.table().currentCol() >= firstCol &&
      program_.table().currentCol() <= lastCol) {
    QRect focus = cellRect(program_.table().currentCol(), program_.table().currentRow());
    p.setPen(QPen(Qt::black, 1, Qt::DotLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(focus.adjusted(0, 0, -1, -1));
  }

  if (dragFrom_ >= 0 && dropAt_ >= 0) {
    const int x = (dropAt_ - leftCol_) * kColPitch + (dropAt_ > dragFrom_ ? kColWidth : -1);
    p.fillRect(QRect(x - 1, 0, 3, bottom), Qt::black);
  }
}

// ---------------------------------------------------------------- moves

void StringGridView::moveTo(int col, int row) {
  col = std::clamp(col, 0, program_.table().colCount() - 1);
  row = std::clamp(row, 1, table::kChannels);
  if (col == program_.table().currentCol() && row == program_.table().currentRow()) return;
  commitEditor();
  program_.table().setCurrentCell(col, row);
  ensureVisible(col);
  viewport()->update();
  if (onClick) onClick();
}

void StringGridView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPoint pos = event->position().toPoint();
  const int col = columnAt(pos.x());
  const int row = rowAt(pos.y());
  if (col < 0 || row < 0) return;
  setFocus(Qt::MouseFocusReason);
  if (row == 0) {
    // The header row is never chosen: a press there starts a column drag.
    commitEditor();
    dragFrom_ = col;
    dropAt_ = -1;
    return;
  }
  const bool wasCurrent =
      col == program_.table().currentCol() && row == program_.table().currentRow();
  commitEditor();
  program_.table().setCurrentCell(col, row);
  ensureVisible(col);
  viewport()->update();
  if (onClick) onClick();
  if (wasCurrent) openEditor();
}

void StringGridView::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click chooses nothing: taken here, it never
  // reaches mousePressEvent, where QWidget would pass it as another press.
  event->accept();
}

void StringGridView::mouseMoveEvent(QMouseEvent* event) {
  if (dragFrom_ < 0) return;
  const int x = event->position().toPoint().x();
  int col = leftCol_ + std::max(0, x) / kColPitch;
  col = std::clamp(col, 0, program_.table().colCount() - 1);
  if (col != dropAt_) {
    dropAt_ = col;
    viewport()->update();
  }
}

void StringGridView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || dragFrom_ < 0) return;
  const int from = dragFrom_;
  const int to = dropAt_;
  dragFrom_ = -1;
  dropAt_ = -1;
  if (to >= 0 && to != from) program_.table().moveColumn(from, to);
  viewport()->update();
}

void StringGridView::wheelEvent(QWheelEvent* event) {
  // Over the open editor the wheel comes here too: the editor has no use
  // for it.
  if (!focused()) {
    event->ignore();
    return;
  }
  wheelRemainder_ += event->angleDelta().y();
  while (wheelRemainder_ <= -120) {
    wheelRemainder_ += 120;
    moveTo(program_.table().currentCol(),
           program_.table().currentRow() + 1);  // towards the user: down
  }
  while (wheelRemainder_ >= 120) {
    wheelRemainder_ -= 120;
    moveTo(program_.table().currentCol(), program_.table().currentRow() - 1);
  }
  event->accept();
}

bool StringGridView::handleMoveKey(QKeyEvent* event) {
  const int col = program_.table().currentCol();
  const int row = program_.table().currentRow();
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  switch (event->key()) {
    case Qt::Key_Up: moveTo(col, row - 1); return true;
    case Qt::Key_Down: moveTo(col, row + 1); return true;
    case Qt::Key_Left: moveTo(col - 1, row); return true;
    case Qt::Key_Right: moveTo(col + 1, row); return true;
    case Qt::Key_PageUp: moveTo(col, row - table::kChannels); return true;
    case Qt::Key_PageDown: moveTo(col, row + table::kChannels); return true;
    case Qt::Key_Home: moveTo(0, ctrl ? 1 : row); return true;
    case Qt::Key_End:
      moveTo(program_.table().colCount() - 1, ctrl ? table::kChannels : row);
      return true;
    default: return false;
  }
}

void StringGridView::keyPressEvent(QKeyEvent* event) {
  if (editorOpen() && editor_->hasFocus()) {
    // A key the editor had no use for, passed up to the table: it went
    // through tableKey() on its way into the editor.
    event->ignore();
    return;
  }
  if (!tableKey(event)) QAbstractScrollArea::keyPressEvent(event);
}

bool StringGridView::tableKey(QKeyEvent* event) {
  const bool editing = editorOpen();
  switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: return handleMoveKey(event);
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
      // In the editor these move the text cursor.
      if (!editing) return handleMoveKey(event);
      return false;
    case Qt::Key_Return:
    case Qt::Key_Enter: enterPressed(); return true;
    case Qt::Key_Escape:
      if (!editing) break;  // a character for the key handler
      cancelEditor();
      return true;
    case Qt::Key_F2:
      if (editing) return false;
      openEditor();
      return true;
    default: break;
  }
  const QString text = event->text();
  if (text.isEmpty()) return false;
  const QChar c = text.at(0);
  if (c == QLatin1Char('\r')) {
    // Ctrl+M types a carriage return: for the table that is Enter.
    enterPressed();
    return true;
  }
  if (!editing && c.isPrint()) {
    // The character that opens the editor goes straight into it.
    openEditor(&text);
    return true;
  }
  if (onKeyPress && c.unicode() < 128) onKeyPress(static_cast<char>(c.unicode()));
  return !editing;
}

void StringGridView::contextMenuEvent(QContextMenuEvent* event) {
  if (!onColumnMenu) return;
  if (event->reason() == QContextMenuEvent::Mouse) {
    // Only the header cells have a menu; the position is the viewport's.
    const int col = columnAt(event->pos().x());
    if (col < 0 || rowAt(event->pos().y()) != 0) return;
    commitEditor();
    onColumnMenu(col, event->globalPos());
    return;
  }
  commitEditor();
  const int col = program_.table().currentCol();
  ensureVisible(col);
  onColumnMenu(col, viewport()->mapToGlobal(cellRect(col, 0).bottomLeft()));
}

void StringGridView::enterPressed() {
  const bool wasOpen = editorOpen();
  commitEditor();
  const bool moved = onKeyPress ? onKeyPress('\r') : false;
  // The table's own Enter: after a move the editor opens on the new cell;
  // otherwise Enter opens a closed editor and closes an open one.
  if (moved || !wasOpen) openEditor();
}

// ---------------------------------------------------------------- editor

void StringGridView::openEditor(const QString* replaceWith) {
  const int col = program_.table().currentCol();
  const int row = program_.table().currentRow();
  if (col >= program_.table().colCount()) return;
  program_.table().endTyping();  // a new editing of a cell is a step of its own
  editCol_ = col;
  editRow_ = row;
  editOriginal_ = QString::fromStdString(program_.table().cells().text(col, row));
  editor_->setFont(font());
  editor_->setGeometry(cellRect(col, row));
  editor_->setText(replaceWith ? *replaceWith : editOriginal_);
  if (!replaceWith) editor_->selectAll();
  editor_->show();
  editor_->setFocus(Qt::OtherFocusReason);
  if (replaceWith) program_.table().typeCell(col, row, replaceWith->toStdString());
  viewport()->update();
}

void StringGridView::commitEditor() {
  if (!editorOpen()) return;
  const int col = editCol_;
  const int row = editRow_;
  const std::string text = editor_->text().toStdString();
  editCol_ = editRow_ = -1;
  // The focus goes straight back to the table: hidden while it has the
  // focus, the editor would hand it to the next control in the tab order
  // first.
  if (editor_->hasFocus()) setFocus(Qt::OtherFocusReason);
  editor_->hide();
  program_.table().typeCell(col, row, text);  // as typed already, unless the text was set back
  program_.table().endTyping();
  viewport()->update();
}

void StringGridView::cancelEditor() {
  if (!editorOpen()) return;
  editor_->setText(editOriginal_);
  commitEditor();
}

bool StringGridView::eventFilter(QObject* watched, QEvent* event) {
  if (watched != editor_) return QAbstractScrollArea::eventFilter(watched, event);
  if (event->type() == QEvent::KeyPress) return tableKey(static_cast<QKeyEvent*>(event));
  if (event->type() == QEvent::FocusOut) {
    auto* focus = static_cast<QFocusEvent*>(event);
    if (focus->reason() != Qt::OtherFocusReason) commitEditor();
  }
  return QAbstractScrollArea::eventFilter(watched, event);
}

void StringGridView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

}  // namespace ui
