// What a screen reader is told about the widgets that draw themselves: the
// 48 indicators, the status panels and the sequence table with its cells.
// The standard controls (buttons, edit box, combo boxes) speak for
// themselves once they have a name.
#pragma once

class QWidget;

namespace ui {

class StringGridView;

// Installs the accessibility of our own widgets; once, before the windows
// are made.
void installAccessibility();

// Tell a listening screen reader what changed; they cost nothing when none
// listens.
void announceTextChange(QWidget* widget);   // a status panel's text
void announceStateChange(QWidget* widget);  // an indicator switched
void announceCurrentCell(StringGridView* grid);
void announceColumns(StringGridView* grid);  // the column count changed

}  // namespace ui
