#include "ui/support/help_viewer.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QUuid>
#include <QWidget>

#include <gtest/gtest.h>

#include "comport/serial_port.h"
#include "support/qt_temp_folder.h"

using ui::kHelpContents;
using ui::kHelpContext;
using ui::kHelpQuit;
using ui::showHelp;

namespace {

QList<QWidget*> helpWindows() {
  QList<QWidget*> found;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->windowTitle() == ui::kHelpWindowTitle) found.append(w);
  }
  return found;
}

int visibleHelpWindows() {
  int n = 0;
  for (QWidget* w : helpWindows()) n += w->isVisible();
  return n;
}

QAction* action(QWidget* window, const char* name) {
  return window->findChild<QAction*>(QLatin1String(name));
}

QString page(const QString& body) {
  return QStringLiteral(
             "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
             "charset=utf-8\"></head><body>%1</body></html>")
      .arg(body);
}

// A long page with an anchor for context 3 far down, and a link to it.
QString longPage() {
  QString body = QStringLiteral("<h1>Начало справки</h1><a href=\"#context-3\">К разделу</a>");
  for (int i = 0; i < 200; ++i) body += QStringLiteral("<p>Строка %1 текста справки.</p>").arg(i);
  body += QStringLiteral("<a name=\"context-3\"></a><h2>Третий раздел</h2>");
  for (int i = 0; i < 20; ++i) body += QStringLiteral("<p>Хвост %1.</p>").arg(i);
  return page(body);
}

bool writeFile(const QString& path, const QString& text) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return file.write(text.toUtf8()) > 0;
}

class ShowHelpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(workDir.path()));
    // A name that nothing else uses, so no stray copy can be found anywhere.
    fileName = QStringLiteral("Rilvet-test-%1.hlp")
                   .arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
    programCopy = QDir(QCoreApplication::applicationDirPath()).filePath(fileName);
  }

  void TearDown() override {
    delete owner;
    delete otherOwner;
    QFile::remove(programCopy);
    QDir::setCurrent(previousDir);
    EXPECT_EQ(visibleHelpWindows(), 0) << "a help window outlived its owner";
  }

  QString inWorkDir() const { return QDir(workDir.path()).filePath(fileName); }

  static QTextBrowser* browserOf(QWidget* owner) {
    const auto windows = owner->findChildren<QTextBrowser*>();
    return windows.size() == 1 ? windows.front() : nullptr;
  }

  testing_support::QtTempFolder workDir;
  QString previousDir;
  QString fileName;
  QString programCopy;
  QWidget* owner = new QWidget;
  QWidget* otherOwner = new QWidget;
};

TEST_F(ShowHelpTest, WithNoFileAnywhereReturnsFalseAndOpensNothing) {
  EXPECT_FALSE(showHelp(owner, fileName, kHelpContext, 0));
  EXPECT_TRUE(helpWindows().isEmpty());
  EXPECT_TRUE(owner->findChildren<QTextBrowser*>().isEmpty());
}

TEST_F(ShowHelpTest, OpensOneWindowForAFileInTheWorkingFolder) {
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Таблица данных и входы</p>"))));
  EXPECT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  ASSERT_EQ(helpWindows().size(), 1);
  QWidget* window = helpWindows().front();
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->isWindow());
  EXPECT_FALSE(window->isModal());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Справка — Rilvet-48"));
  QTextBrowser* browser = browserOf(owner);
  ASSERT_NE(browser, nullptr);
  EXPECT_EQ(browser->window(), window);
  // The page is read as UTF-8 HTML, not shown as its source.
  EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Таблица данных и входы")));
  EXPECT_FALSE(browser->toPlainText().contains(QStringLiteral("<p>")));
}

TEST_F(ShowHelpTest, ASecondCallBringsBackTheSameWindow) {
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Первая версия</p>"))));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  QTextBrowser* first = browserOf(owner);
  ASSERT_NE(first, nullptr);
  first->window()->close();  // closed by the user: the next call shows it again
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Вторая версия</p>"))));

  EXPECT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  EXPECT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  EXPECT_EQ(helpWindows().size(), 1);
  EXPECT_EQ(browserOf(owner), first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_TRUE(first->toPlainText().contains(QStringLiteral("Вторая версия")))
      << "the file is read afresh";
}

TEST_F(ShowHelpTest, EachOwnerHasItsOwnWindow) {
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Справка</p>"))));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  ASSERT_TRUE(showHelp(otherOwner, fileName, kHelpContext, 0));
  EXPECT_EQ(visibleHelpWindows(), 2);
  EXPECT_NE(browserOf(owner), browserOf(otherOwner));
  delete otherOwner;
  otherOwner = nullptr;
  EXPECT_EQ(helpWindows().size(), 1) << "the window goes with its owner";
}

TEST_F(ShowHelpTest, FallsBackToTheProgramFolder) {
  ASSERT_TRUE(writeFile(programCopy, page(QStringLiteral("<p>Копия у программы</p>"))));
  EXPECT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  ASSERT_NE(browserOf(owner), nullptr);
  EXPECT_TRUE(browserOf(owner)->toPlainText().contains(QStringLiteral("Копия у программы")));
}

TEST_F(ShowHelpTest, FallsBackToTheInstalledDataFolder) {
  // Installed, the guide lies in the data folder beside the program's folder
  // (../share/rilvet48 from bin).
  QDir programFolder(QCoreApplication::applicationDirPath());
  const QString dataFolder = programFolder.filePath(QStringLiteral(RILVET_INSTALLED_HELP_DIR));
  const bool made = !QDir(dataFolder).exists();
  ASSERT_TRUE(QDir().mkpath(dataFolder));
  const QString installed = QDir(dataFolder).filePath(fileName);
  ASSERT_TRUE(writeFile(installed, page(QStringLiteral("<p>Установленная копия</p>"))));
  const bool shown = showHelp(owner, fileName, kHelpContext, 0);
  QFile::remove(installed);
  if (made) QDir(dataFolder).removeRecursively();
  EXPECT_TRUE(shown);
  ASSERT_NE(browserOf(owner), nullptr);
  EXPECT_TRUE(browserOf(owner)->toPlainText().contains(QStringLiteral("Установленная копия")));
}

TEST_F(ShowHelpTest, PrefersTheWorkingFolderToTheProgramFolder) {
  ASSERT_TRUE(writeFile(programCopy, page(QStringLiteral("<p>Копия у программы</p>"))));
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Копия в рабочей папке</p>"))));
  EXPECT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  ASSERT_NE(browserOf(owner), nullptr);
  EXPECT_TRUE(browserOf(owner)->toPlainText().contains(QStringLiteral("Копия в рабочей папке")));
}

TEST_F(ShowHelpTest, ContextPicksTheTopicAndZeroTheStart) {
  ASSERT_TRUE(writeFile(inWorkDir(), longPage()));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 3));
  QTextBrowser* browser = browserOf(owner);
  ASSERT_NE(browser, nullptr);
  QCoreApplication::processEvents();
  EXPECT_GT(browser->verticalScrollBar()->value(), 0) << "not at the topic of context 3";

  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), 0);

  // A context without a topic of its own shows the start of the file.
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 3));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 77));
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), 0);

  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 3));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContents, 3));
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), 0);
}

TEST_F(ShowHelpTest, BackForwardAndHomeWalkTheVisitedPlaces) {
  ASSERT_TRUE(writeFile(inWorkDir(), longPage()));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  QTextBrowser* browser = browserOf(owner);
  ASSERT_NE(browser, nullptr);
  QWidget* window = browser->window();
  QAction* back = action(window, "helpBack");
  QAction* forward = action(window, "helpForward");
  QAction* home = action(window, "helpHome");
  ASSERT_TRUE(back && forward && home);
  EXPECT_FALSE(back->isEnabled());
  EXPECT_FALSE(forward->isEnabled());
  EXPECT_EQ(back->text(), QStringLiteral("Назад"));
  EXPECT_EQ(forward->text(), QStringLiteral("Вперёд"));
  EXPECT_EQ(home->text(), QStringLiteral("Начало"));

  // Following the link to the topic.
  QUrl topic = browser->source();
  topic.setFragment(QStringLiteral("context-3"));
  browser->setSource(topic);
  QCoreApplication::processEvents();
  const int topicScroll = browser->verticalScrollBar()->value();
  EXPECT_GT(topicScroll, 0);
  EXPECT_TRUE(back->isEnabled());

  back->trigger();
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), 0);
  EXPECT_TRUE(forward->isEnabled());
  forward->trigger();
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), topicScroll);
  EXPECT_FALSE(forward->isEnabled());

  home->trigger();
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), 0);
  EXPECT_TRUE(back->isEnabled()) << "home is a step of its own: back returns to the topic";
  back->trigger();
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->verticalScrollBar()->value(), topicScroll);
}

TEST_F(ShowHelpTest, FindsInThePageForwardBackAndRoundTheEnd) {
  ASSERT_TRUE(writeFile(inWorkDir(), longPage()));
  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  QTextBrowser* browser = browserOf(owner);
  ASSERT_NE(browser, nullptr);
  QWidget* window = browser->window();
  auto* field = window->findChild<QLineEdit*>(QStringLiteral("helpFind"));
  auto* notFound = window->findChild<QLabel*>(QStringLiteral("helpNotFound"));
  QAction* next = action(window, "helpFindNext");
  QAction* previous = action(window, "helpFindPrevious");
  ASSERT_TRUE(field && notFound && next && previous);
  const auto foundLine = [&] { return browser->textCursor().block().text(); };

  field->setText(QStringLiteral("Хвост 5"));
  next->trigger();
  QCoreApplication::processEvents();
  EXPECT_EQ(browser->textCursor().selectedText(), QStringLiteral("Хвост 5"));
  EXPECT_GT(browser->verticalScrollBar()->value(), 0) << "the match is scrolled into view";
  EXPECT_TRUE(notFound->text().isEmpty());

  // Enter in the field finds the next; past the last match it starts over.
  field->setText(QStringLiteral("Строка 19"));
  emit field->returnPressed();
  EXPECT_EQ(foundLine(), QStringLiteral("Строка 19 текста справки."));
  next->trigger();
  EXPECT_EQ(foundLine(), QStringLiteral("Строка 190 текста справки."));
  for (int i = 0; i < 10; ++i) next->trigger();  // 191 … 199, then round
  EXPECT_EQ(foundLine(), QStringLiteral("Строка 19 текста справки.")) << "round the end";

  // Backwards from there: round the start to the last match.
  previous->trigger();
  EXPECT_EQ(foundLine(), QStringLiteral("Строка 199 текста справки."));

  field->setText(QStringLiteral("абракадабра"));
  next->trigger();
  EXPECT_EQ(notFound->text(), QStringLiteral("Не найдено"));
  field->setText(QStringLiteral("Хвост"));
  EXPECT_TRUE(notFound->text().isEmpty()) << "a new text clears the old verdict";
}

TEST_F(ShowHelpTest, QuitClosesTheWindowAndUnknownCommandsDoNothing) {
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Справка</p>"))));
  EXPECT_FALSE(showHelp(owner, fileName, 0x0105, 0));
  EXPECT_TRUE(helpWindows().isEmpty());

  ASSERT_TRUE(showHelp(owner, fileName, kHelpContext, 0));
  EXPECT_EQ(visibleHelpWindows(), 1);
  EXPECT_TRUE(showHelp(owner, fileName, kHelpQuit, 0));
  EXPECT_EQ(visibleHelpWindows(), 0);
}

TEST_F(ShowHelpTest, WorksWithoutAnOwner) {
  ASSERT_TRUE(writeFile(inWorkDir(), page(QStringLiteral("<p>Справка</p>"))));
  ASSERT_TRUE(showHelp(nullptr, fileName, kHelpContext, 0));
  ASSERT_TRUE(showHelp(nullptr, fileName, kHelpContext, 0));
  EXPECT_EQ(visibleHelpWindows(), 1);
  EXPECT_TRUE(showHelp(nullptr, fileName, kHelpQuit, 0));
  EXPECT_EQ(visibleHelpWindows(), 0);
}

TEST(HelpFile, IsARussianGuideWithTheAnchorsItNames) {
  QFile file(QStringLiteral(RILVET_RESOURCES_DIR "/Rilvet.hlp"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(file.readAll());
  EXPECT_TRUE(text.contains(QStringLiteral("charset=utf-8")));
  EXPECT_TRUE(text.contains(QStringLiteral("name=\"context-0\"")));
  // Every link inside the guide leads somewhere.
  qsizetype from = 0;
  int links = 0;
  while ((from = text.indexOf(QStringLiteral("href=\"#"), from)) >= 0) {
    from += 7;
    const QString anchor = text.mid(from, text.indexOf(QLatin1Char('"'), from) - from);
    EXPECT_TRUE(text.contains(QStringLiteral("name=\"%1\"").arg(anchor))) << anchor.toStdString();
    ++links;
  }
  EXPECT_GT(links, 5);
  for (const char* words :
       {"Старт (включение порта) / Пауза", "Стоп (отключение порта)", "Настройка входов",
        "Вход 1 - ручное управление", "Очистить таблицу", "Справка", "Об авторах", "Выход",
        "Скорость перебора столбцов", "Найденные COM-порты", "Согласование входов и выходов",
        "Rilvet_код.txt", "Rilvet.dat", "VIRTUAL", "74HC595"}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(words))) << words;
  }
  // The port's open errors, each with what to do.
  for (const char* message : {comport::msg::kNoSuchPort, comport::msg::kPortBusy,
                              comport::msg::kNoAccess, comport::msg::kNoUsbAccess}) {
    EXPECT_TRUE(text.contains(QStringLiteral("<tr><td>%1</td>").arg(QString::fromUtf8(message))))
        << message;
  }
  EXPECT_TRUE(text.contains(QStringLiteral("sudo usermod -aG dialout $USER")));
  EXPECT_TRUE(text.contains(QStringLiteral("ATTR{idVendor}==\"0403\"")));
}

}  // namespace
