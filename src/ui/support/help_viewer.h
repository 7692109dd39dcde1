// Opening the help file: WinHelp is gone from current Windows and never was
// elsewhere, so a small viewer of our own takes the same three values and
// shows the (HTML) help file on every system.
#pragma once

#include <QString>

class QWidget;

namespace ui {

// WinHelp commands that the viewer understands.
inline constexpr unsigned kHelpContext = 1;   // HELP_CONTEXT: the topic with a context number
inline constexpr unsigned kHelpQuit = 2;      // HELP_QUIT: close the help window
inline constexpr unsigned kHelpContents = 3;  // HELP_CONTENTS: the start of the file

// The window title of our viewer.
inline const QString kHelpWindowTitle = QStringLiteral("Справка — Rilvet-48");

// Shows `fileName` (a bare name) for `owner`. The file is looked for in the current working folder,
// then in the program's folder; with no file nothing happens and the result is false. Otherwise one
// non-modal help window per owner shows it (brought to the front when already open), at the start
// of the file for context 0 or at the anchor "context-N" for context N when the file has one.
bool showHelp(QWidget* owner, const QString& fileName, unsigned command, unsigned long context);

}  // namespace ui
