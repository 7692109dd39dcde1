#include "ui/error_display.h"

#include <utility>

namespace ui {

namespace {
const char* kTitle = "Rilvet-48";
}

ErrorDisplay::ErrorDisplay(QWidget* owner) : QObject(owner), owner_(owner) {}

void ErrorDisplay::showError(const std::string& message) {
  shown_.push_back(QString::fromStdString(message));
  if (recordOnly_) return;
  waiting_.push_back(QString::fromStdString(message));
  if (!held_ && box_.isNull()) showNext();
}

void ErrorDisplay::showNext() {
  if (waiting_.isEmpty()) return;
  auto* box =
      new QMessageBox(QMessageBox::Critical, kTitle, waiting_.takeFirst(), QMessageBox::Ok, owner_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  connect(box, &QMessageBox::finished, this, &ErrorDisplay::boxClosed);
  box_ = box;
  box->show();
}

void ErrorDisplay::boxClosed() {
  box_.clear();
  if (onClosed) onClosed();
  if (!held_) showNext();
}

void ErrorDisplay::showHeldAndWait() {
  held_ = true;
  if (!box_.isNull()) box_->close();
  while (!waiting_.isEmpty()) {
    QMessageBox box(QMessageBox::Critical, kTitle, waiting_.takeFirst(), QMessageBox::Ok, owner_);
    box.exec();
    if (onClosed) onClosed();
  }
}

std::vector<std::string> ErrorDisplay::takeHeld() {
  std::vector<std::string> messages;
  for (const QString& text : std::exchange(waiting_, {})) messages.push_back(text.toStdString());
  return messages;
}

}  // namespace ui
