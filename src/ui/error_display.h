// Shows the errors that leave the handlers: one message box at a time, so a
// failure that repeats (a port that stopped answering while the step timer
// runs every millisecond) never piles up boxes. The box does not block the
// window, so the user can still press Stop.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include "app/program.h"

namespace ui {

class ErrorDisplay : public QObject, public app::ErrorSink {
  Q_OBJECT

 public:
  explicit ErrorDisplay(QWidget* owner);
  void setOwner(QWidget* owner) { owner_ = owner; }

  // Non-blocking: shows the message unless a box is already open.
  void showError(const std::string& message) override;
  // Blocking, for the last words at exit: waits until the user closes it.
  void showErrorAndWait(const std::string& message);
  // The program is ending: later errors wait for their box.
  void setBlocking(bool blocking) { blocking_ = blocking; }
  // Closes the box left open, if any: it goes with the main window.
  void dismiss();

  // For tests: record messages instead of showing boxes.
  void setRecordOnly(bool on) { recordOnly_ = on; }
  const QStringList& shown() const { return shown_; }
  bool boxOpen() const { return !box_.isNull() && box_->isVisible(); }
  QMessageBox* box() const { return box_; }

 private:
  QWidget* owner_;
  QPointer<QMessageBox> box_;
  QStringList shown_;
  bool recordOnly_ = false;
  bool blocking_ = false;
};

}  // namespace ui
