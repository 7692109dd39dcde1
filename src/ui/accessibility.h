// What a screen reader is told about the widgets that draw themselves: the
// 48 indicators, the status panels and the sequence table with its cells.
// The standard controls (buttons, edit box, combo boxes) speak for
// themselves once they have a name.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace ui {

class StringGridView;

// The step timer may switch 48 indicators and rewrite a status panel every
// millisecond: told one by one, a screen reader would drown. This gathers
// the widgets whose state or text changed and hands them on together, each
// once, at most every period; by then they show their newest state.
class ChangeGatherer : public QObject {
 public:
  enum class Kind { State, Text };
  using Tell = std::function<void(const QList<QPointer<QWidget>>& states,
                                  const QList<QPointer<QWidget>>& texts)>;
  ChangeGatherer(int periodMs, Tell tell);
  void add(QWidget* widget, Kind kind);

 private:
  Tell tell_;
  QTimer timer_;
  QList<QPointer<QWidget>> states_;
  QList<QPointer<QWidget>> texts_;
};

// Installs the accessibility of our own widgets; once, before the windows
// are made.
void installAccessibility();

// Tell a listening screen reader what changed; they cost nothing when none
// listens. Texts and states are told through a ChangeGatherer of this period.
inline constexpr int kAnnouncePeriodMs = 100;
void announceTextChange(QWidget* widget);   // a status panel's text
void announceStateChange(QWidget* widget);  // an indicator switched
void announceCurrentCell(StringGridView* grid);
void announceColumns(StringGridView* grid);  // the column count changed

}  // namespace ui
