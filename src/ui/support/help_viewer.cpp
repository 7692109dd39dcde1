#include "ui/support/help_viewer.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextBrowser>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

namespace ui {

namespace {

const char kWindowName[] = "rilvetHelpWindow";

// The help file is opened by its bare name, like the program's data files; if
// it is not in the working folder, the copy beside the program or the one
// installed with it is used.
QString findHelpFile(const QString& fileName) {
  if (fileName.isEmpty()) return {};
  const QString programFolder = QCoreApplication::applicationDirPath();
  const QString folders[] = {
      QDir::currentPath(), programFolder,
      QDir(programFolder).filePath(QStringLiteral(RILVET_INSTALLED_HELP_DIR))};
  for (const QString& folder : folders) {
    const QFileInfo info(QDir(folder), fileName);
    if (info.isFile() && info.isReadable()) return info.absoluteFilePath();
  }
  return {};
}

// The viewer: the page with back, forward, home and a search of the page.
class HelpWindow : public QWidget {
 public:
  explicit HelpWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName(QLatin1String(kWindowName));
    setWindowTitle(kHelpWindowTitle);
    resize(640, 720);

    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("helpPage"));
    browser_->setOpenExternalLinks(true);

    auto* bar = new QToolBar(this);
    bar->setObjectName(QStringLiteral("helpTools"));
    back_ = bar->addAction(QStringLiteral("Назад"), browser_, &QTextBrowser::backward);
    back_->setObjectName(QStringLiteral("helpBack"));
    back_->setShortcut(QKeySequence::Back);
    back_->setEnabled(false);
    forward_ = bar->addAction(QStringLiteral("Вперёд"), browser_, &QTextBrowser::forward);
    forward_->setObjectName(QStringLiteral("helpForward"));
    forward_->setShortcut(QKeySequence::Forward);
    forward_->setEnabled(false);
    QAction* home = bar->addAction(QStringLiteral("Начало"), this, [this] { goHome(); });
    home->setObjectName(QStringLiteral("helpHome"));
    home->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Home));
    bar->addSeparator();

    find_ = new QLineEdit(bar);
    find_->setObjectName(QStringLiteral("helpFind"));
    find_->setPlaceholderText(QStringLiteral("Найти на странице"));
    find_->setAccessibleName(QStringLiteral("Найти на странице"));
    find_->setClearButtonEnabled(true);
    find_->setMaximumWidth(220);
    bar->addWidget(find_);
    QAction* next = bar->addAction(QStringLiteral("Следующее"), this, [this] { findText(false); });
    next->setObjectName(QStringLiteral("helpFindNext"));
    next->setShortcuts(QKeySequence::FindNext);
    QAction* previous =
        bar->addAction(QStringLiteral("Предыдущее"), this, [this] { findText(true); });
    previous->setObjectName(QStringLiteral("helpFindPrevious"));
    previous->setShortcuts(QKeySequence::FindPrevious);
    notFound_ = new QLabel(bar);
    notFound_->setObjectName(QStringLiteral("helpNotFound"));
    bar->addWidget(notFound_);

    auto* focusFind = new QAction(this);
    focusFind->setShortcut(QKeySequence::Find);
    connect(focusFind, &QAction::triggered, this, [this] {
      find_->setFocus(Qt::ShortcutFocusReason);
      find_->selectAll();
    });
    addAction(focusFind);
    connect(find_, &QLineEdit::returnPressed, this, [this] { findText(false); });
    connect(find_, &QLineEdit::textChanged, notFound_, &QLabel::clear);
    connect(browser_, &QTextBrowser::backwardAvailable, back_, &QAction::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, forward_, &QAction::setEnabled);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(browser_);
  }

  QTextBrowser* browser() const { return browser_; }

  void load(const QString& path) {
    const QUrl url = QUrl::fromLocalFile(path);
    // The file may have changed since it was last shown.
    if (browser_->source().adjusted(QUrl::RemoveFragment) == url) {
      browser_->reload();
    } else {
      browser_->setSource(url, QTextDocument::HtmlResource);
    }
    page_ = url;
  }

  // A freshly loaded page starts at its top, which is where context 0 and
  // any context without a topic of its own leave it.
  void goToContext(unsigned long context) {
    if (context > 0) {
      browser_->scrollToAnchor(QStringLiteral("context-%1").arg(context));
    } else {
      browser_->verticalScrollBar()->setValue(0);
    }
  }

 private:
  // The start of the guide, as a step of its own in the history.
  void goHome() {
    if (page_.isEmpty()) return;
    if (browser_->source() != page_) browser_->setSource(page_);
    browser_->verticalScrollBar()->setValue(0);
  }

  // From the cursor on (or back), round to the other end once; the match
  // is selected and scrolled into view.
  void findText(bool backward) {
    const QString text = find_->text();
    notFound_->clear();
    if (text.isEmpty()) return;
    const QTextDocument::FindFlags flags =
        backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    if (browser_->find(text, flags)) return;
    QTextCursor cursor = browser_->textCursor();
    cursor.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
    browser_->setTextCursor(cursor);
    if (!browser_->find(text, flags)) notFound_->setText(QStringLiteral("Не найдено"));
  }

  QTextBrowser* browser_;
  QAction* back_;
  QAction* forward_;
  QLineEdit* find_;
  QLabel* notFound_;
  QUrl page_;
};

QPointer<HelpWindow>& ownerlessWindow() {
  static QPointer<HelpWindow> window;
  return window;
}

HelpWindow* existingWindow(QWidget* owner) {
  if (owner == nullptr) return ownerlessWindow();
  // Only ever a HelpWindow carries this name.
  return static_cast<HelpWindow*>(
      owner->findChild<QWidget*>(QLatin1String(kWindowName), Qt::FindDirectChildrenOnly));
}

HelpWindow* createWindow(QWidget* owner) {
  // A child of its owner with a window of its own: it closes with the owner
  // and never blocks it.
  auto* window = new HelpWindow(owner);
  if (owner == nullptr) {
    window->setAttribute(Qt::WA_DeleteOnClose);
    ownerlessWindow() = window;
  }
  return window;
}

}  // namespace

bool showHelp(QWidget* owner, const QString& fileName, unsigned command, unsigned long context) {
  HelpWindow* window = existingWindow(owner);
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
  window->load(path);
  window->goToContext(command == kHelpContext ? context : 0);
  return true;
}

}  // namespace ui
