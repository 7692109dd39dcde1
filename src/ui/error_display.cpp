#include "ui/error_display.h"

namespace ui {

namespace {
const char* kTitle = "Rilvet-48";
}

ErrorDisplay::ErrorDisplay(QWidget* owner) : QObject(owner), owner_(owner) {}

void ErrorDisplay::showError(const std::string& message) {
  if (blocking_) {
    showErrorAndWait(message);
    return;
  }
  if (boxOpen()) return;
  shown_.push_back(QString::fromStdString(message));
  if (recordOnly_) return;
  auto* box = new QMessageBox(QMessageBox::Critical, kTitle, QString::fromStdString(message),
                              QMessageBox::Ok, owner_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box_ = box;
  box->show();
}

void ErrorDisplay::dismiss() {
  if (boxOpen()) box_->close();
}

void ErrorDisplay::showErrorAndWait(const std::string& message) {
  shown_.push_back(QString::fromStdString(message));
  if (recordOnly_) return;
  QMessageBox box(QMessageBox::Critical, kTitle, QString::fromStdString(message), QMessageBox::Ok,
                  owner_);
  box.exec();
}

}  // namespace ui
