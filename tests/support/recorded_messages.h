// The error messages a test or benchmark has been shown, in order. Without a
// presenter to pass them on to, no box opens and none waits: each message is
// taken as it comes.
#pragma once

#include <QStringList>

#include "ui/error_display.h"

namespace testing_support {

class RecordedMessages : public ui::MessagePresenter {
 public:
  // `shownIn`: where the messages go on to, ui::messageBoxes() for the boxes
  // the user sees.
  explicit RecordedMessages(ui::MessagePresenter* shownIn = nullptr) : shownIn_(shownIn) {}

  QDialog* open(QWidget* owner, const QString& text) override {
    shown_.push_back(text);
    return shownIn_ != nullptr ? shownIn_->open(owner, text) : nullptr;
  }
  void showAndWait(QWidget* owner, const QString& text) override {
    shown_.push_back(text);
    if (shownIn_ != nullptr) shownIn_->showAndWait(owner, text);
  }

  const QStringList& shown() const { return shown_; }

 private:
  ui::MessagePresenter* shownIn_;
  QStringList shown_;
};

}  // namespace testing_support
