// Shows the errors the program lets through (program::ErrorPath decides which),
// one message box at a time, in order: a message that comes while a box is
// open waits for it. The box belongs to the main window and does not block
// it, so the user can still press Stop. A message from start-up, before the
// main window is on the screen, waits until it is, so that its box comes
// after the window and stays above it. When the program ends, the boxes wait
// until the close sequence is over and are then shown one after another.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "program/error_path.h"

namespace ui {

// How a message is put before the user.
class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows the message in a box that does not block and returns the box, which
  // goes when it is closed; nullptr when nothing stays open.
  virtual QDialog* open(QWidget* owner, const QString& text) = 0;
  // Shows the message and returns when the user has closed it.
  virtual void showAndWait(QWidget* owner, const QString& text) = 0;
};

// The program's message boxes.
MessagePresenter& messageBoxes();

class ErrorDisplay : public QObject, public program::ErrorSink {
  Q_OBJECT

 public:
  explicit ErrorDisplay(QWidget* owner, MessagePresenter& presenter = messageBoxes());
  // The window the boxes belong to; none opens before it is shown.
  void setOwner(QWidget* owner);

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

 private:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool canOpen() const { return !held_ && owner_ != nullptr && owner_->isVisible(); }
  void showNext();
  void boxClosed();

  QWidget* owner_;
  MessagePresenter& presenter_;
  QPointer<QDialog> box_;
  QStringList waiting_;
  bool held_ = false;
};

}  // namespace ui
