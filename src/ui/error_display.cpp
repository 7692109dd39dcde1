#include "ui/error_display.h"

#include <QEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <utility>

namespace ui {

namespace {

const char* kTitle = "Rilvet-48";

class MessageBoxes final : public MessagePresenter {
 public:
  QDialog* open(QWidget* owner, const QString& text) override {
    auto* box = new QMessageBox(QMessageBox::Critical, kTitle, text, QMessageBox::Ok, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    return box;
  }
  void showAndWait(QWidget* owner, const QString& text) override {
    QMessageBox box(QMessageBox::Critical, kTitle, text, QMessageBox::Ok, owner);
    box.exec();
  }
};

}  // namespace

MessagePresenter& messageBoxes() {
  static MessageBoxes boxes;
  return boxes;
}

ErrorDisplay::ErrorDisplay(QWidget* owner, MessagePresenter& presenter)
    : QObject(owner), owner_(nullptr), presenter_(presenter) {
  setOwner(owner);
}

void ErrorDisplay::setOwner(QWidget* owner) {
  if (owner_ != nullptr) owner_->removeEventFilter(this);
  owner_ = owner;
  if (owner_ != nullptr) owner_->installEventFilter(this);
}

bool ErrorDisplay::eventFilter(QObject* watched, QEvent* event) {
  if (watched == owner_ && event->type() == QEvent::Show) {
    // The window is mapped after its show event: the waiting boxes come
    // after that, on top of it.
    QMetaObject::invokeMethod(this, &ErrorDisplay::showNext, Qt::QueuedConnection);
  }
  return QObject::eventFilter(watched, event);
}

void ErrorDisplay::showError(const std::string& message) {
  waiting_.push_back(QString::fromStdString(message));
  showNext();
}

void ErrorDisplay::showNext() {
  // A presenter that keeps nothing open takes the next message at once.
  while (canOpen() && !waiting_.isEmpty() && box_.isNull()) {
    QDialog* box = presenter_.open(owner_, waiting_.takeFirst());
    if (box == nullptr) continue;
    connect(box, &QDialog::finished, this, &ErrorDisplay::boxClosed);
    box_ = box;
  }
}

void ErrorDisplay::boxClosed() {
  box_.clear();
  if (onClosed) onClosed();
  showNext();
}

void ErrorDisplay::showHeldAndWait() {
  held_ = true;
  if (!box_.isNull()) box_->close();
  while (!waiting_.isEmpty()) {
    presenter_.showAndWait(owner_, waiting_.takeFirst());
    if (onClosed) onClosed();
  }
}

std::vector<std::string> ErrorDisplay::takeHeld() {
  std::vector<std::string> messages;
  for (const QString& text : std::exchange(waiting_, {})) messages.push_back(text.toStdString());
  return messages;
}

}  // namespace ui
