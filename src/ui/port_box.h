// The port name box: an editable list far narrower than most port names. It
// shows the start of a name whenever the name is not being typed, and opens
// a list as wide as its longest entry without growing itself.
#pragma once

#include <QComboBox>

namespace ui {

class PortBox : public QComboBox {
  Q_OBJECT

 public:
  explicit PortBox(QWidget* parent = nullptr);

  // Scrolls the text back to its start unless the user is typing in it.
  void showStart();
  void showPopup() override;

 protected:
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void homeCursor();
};

}  // namespace ui
