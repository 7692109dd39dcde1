#include "ui/support/help_viewer.h"

#include <QWidget>

#ifdef Q_OS_WIN
#include <string>

#include <windows.h>
#else
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#endif

namespace ui {

#ifdef Q_OS_WIN

bool showHelp(QWidget* owner, const QString& fileName, unsigned command, unsigned long context) {
  const std::wstring wide = fileName.toStdWString();
  const int size = WideCharToMultiByte(1251, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string name(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  if (size > 0) {
    WideCharToMultiByte(1251, 0, wide.c_str(), -1, name.data(), size, nullptr, nullptr);
  }
  HWND window = owner != nullptr ? reinterpret_cast<HWND>(owner->winId()) : nullptr;
  return WinHelpA(window, name.c_str(), command, static_cast<ULONG_PTR>(context)) != FALSE;
}

#else

namespace {

const char kWindowName[] = "rilvetHelpWindow";

// The help file is opened by its bare name, like the program's data files; if
// it is not in the working folder, the copy installed next to the program is used.
QString findHelpFile(const QString& fileName) {
  if (fileName.isEmpty()) return {};
  const QString folders[] = {QDir::currentPath(), QCoreApplication::applicationDirPath()};
  for (const QString& folder : folders) {
    const QFileInfo info(QDir(folder), fileName);
    if (info.isFile() && info.isReadable()) return info.absoluteFilePath();
  }
  return {};
}

QPointer<QTextBrowser>& ownerlessWindow() {
  static QPointer<QTextBrowser> window;
  return window;
}

QTextBrowser* existingWindow(QWidget* owner) {
  if (owner == nullptr) return ownerlessWindow();
  return owner->findChild<QTextBrowser*>(QLatin1String(kWindowName), Qt::FindDirectChildrenOnly);
}

QTextBrowser* createWindow(QWidget* owner) {
  // A child of its owner with a window of its own: it closes with the owner
  // and never blocks it.
  auto* window = new QTextBrowser(owner);
  window->setObjectName(QLatin1String(kWindowName));
  window->setWindowFlag(Qt::Window);
  window->setWindowTitle(kHelpWindowTitle);
  window->setOpenExternalLinks(true);
  window->resize(640, 720);
  if (owner == nullptr) {
    window->setAttribute(Qt::WA_DeleteOnClose);
    ownerlessWindow() = window;
  }
  return window;
}

void load(QTextBrowser* window, const QString& path) {
  const QUrl url = QUrl::fromLocalFile(path);
  // The file may have changed since it was last shown.
  if (window->source() == url) {
    window->reload();
  } else {
    window->setSource(url, QTextDocument::HtmlResource);
  }
}

// A freshly loaded page starts at its top, which is where context 0 and any
// context without a topic of its own leave it.
void goToContext(QTextBrowser* window, unsigned long context) {
  if (context > 0) window->scrollToAnchor(QStringLiteral("context-%1").arg(context));
}

}  // namespace

bool showHelp(QWidget* owner, const QString& fileName, unsigned command, unsigned long context) {
  QTextBrowser* window = existingWindow(owner);
  if (command == kHelpQuit) {
    if (window != nullptr) window->close();
    return true;
  }
  if (command != kHelpContext && command != kHelpContents) return false;

  const QString path = findHelpFile(fileName);
  if (path.isEmpty()) return false;

  if (window == nullptr) window = createWindow(owner);
  window->show();
  window->raise();
  window->activateWindow();
  load(window, path);
  goToContext(window, command == kHelpContext ? context : 0);
  return true;
}

#endif

}  // namespace ui
