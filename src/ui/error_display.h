// Shows the errors the program lets through (program::ErrorPath decides which),
// one message box at a time, in order: a message that comes while a box is
// open waits for it. The box does not block the window, so the user can
// still press Stop. When the program ends, the boxes wait until the close
// sequence is over and are then shown one after another.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "program/error_path.h"

namespace ui {

class ErrorDisplay : public QObject, public program::ErrorSink {
  Q_OBJECT

 public:
  explicit ErrorDisplay(QWidget* owner);
  void setOwner(QWidget* owner) { owner_ = owner; }

  // Called after the user has closed a box (the oldest one).
  std::function<void()> onClosed;

  // Shows the message, or queues it behind the box that is open.
  void showError(const std::string& message) override;
  // The program is ending: no box opens until showHeldAndWait().
  void hold() { held_ = true; }
  // The box left open goes with the main window; every message still waiting
  // is shown in turn, each waiting until it is closed.
  void showHeldAndWait();
  // Hands over the messages still waiting instead (there is no display).
  std::vector<std::string> takeHeld();

  // For tests: record messages instead of showing boxes (none is closed).
  void setRecordOnly(bool on) { recordOnly_ = on; }
  // Every message handed over, in order.
  const QStringList& shown() const { return shown_; }
  bool boxOpen() const { return !box_.isNull() && box_->isVisible(); }
  QMessageBox* box() const { return box_; }
  int waiting() const { return static_cast<int>(waiting_.size()); }

 private:
  void showNext();
  void boxClosed();

  QWidget* owner_;
  QPointer<QMessageBox> box_;
  QStringList waiting_;
  QStringList shown_;
  bool recordOnly_ = false;
  bool held_ = false;
};

}  // namespace ui
