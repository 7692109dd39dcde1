// What the user is told: a failing run of step ticks once, every other error
// always, nothing queued twice behind the open box, and a run that keeps
// failing says so again once its box has been closed.
#include "program/error_path.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::ElementsAre;

struct Display : program::ErrorSink {
  std::vector<std::string> shown;
  void showError(const std::string& message) override { shown.push_back(message); }
};

class ErrorPathTest : public ::testing::Test {
 protected:
  Display display;
  program::ErrorPath path{display};
};

TEST_F(ErrorPathTest, ARunOfFailingTicksIsOneMessageUntilANewRunBegins) {
  for (int i = 0; i < 50; ++i) path.tickFailed("A");
  EXPECT_THAT(display.shown, ElementsAre("A"));
  // A tick went through: the next failure is a new run, queued behind the box.
  path.tickSucceeded();
  path.tickFailed("B");
  path.tickFailed("B");
  EXPECT_THAT(display.shown, ElementsAre("A", "B"));
  // Started or stopped again: another new run. Its text already waits.
  path.runChanged();
  path.tickFailed("B");
  EXPECT_THAT(display.shown, ElementsAre("A", "B"));
  path.runChanged();
  path.tickFailed("C");
  EXPECT_THAT(display.shown, ElementsAre("A", "B", "C"));
}

TEST_F(ErrorPathTest, ARunThatKeepsFailingSaysSoAgainOnceItsBoxIsClosed) {
  path.tickFailed("A");
  path.tickFailed("A");
  path.closed();
  path.tickFailed("A");
  path.tickFailed("A");
  EXPECT_THAT(display.shown, ElementsAre("A", "A"));
  // Another box closed (not the run's) changes nothing for the run.
  path.showError("X");
  path.closed();  // the run's
  path.closed();  // X
  path.tickFailed("A");
  EXPECT_THAT(display.shown, ElementsAre("A", "A", "X", "A"));
}

TEST_F(ErrorPathTest, EveryOtherErrorIsShownWhileABoxIsOpenButNeverQueuedTwice) {
  path.tickFailed("Ошибка функции EscapeCommFunction");
  path.showError("Ошибка функции EscapeCommFunction");  // the stop's, same text
  path.showError("Попытка открыть несуществующий COM-порт");
  path.showError("Не удаётся записать файл \"Rilvet.dat\"");
  path.showError("Попытка открыть несуществующий COM-порт");  // still waiting
  path.showError("Ошибка функции EscapeCommFunction");        // so is this
  EXPECT_THAT(display.shown,
              ElementsAre("Ошибка функции EscapeCommFunction", "Ошибка функции EscapeCommFunction",
                          "Попытка открыть несуществующий COM-порт",
                          "Не удаётся записать файл \"Rilvet.dat\""));
  // Once on the screen it no longer waits: the same text may follow it.
  path.closed();
  path.closed();
  path.showError("Попытка открыть несуществующий COM-порт");
  EXPECT_EQ(display.shown.size(), 5u);
}

TEST_F(ErrorPathTest, AWaitingMessageWithTheRunsTextSpeaksForTheRun) {
  path.showError("X");
  path.showError("E");  // a stop that could not reach the board
  path.tickFailed("E");
  EXPECT_THAT(display.shown, ElementsAre("X", "E"));
  path.tickFailed("E");
  path.closed();  // X
  path.tickFailed("E");
  EXPECT_EQ(display.shown.size(), 2u) << "E is on the screen for the run";
  path.closed();  // E: the run, still failing, says so again
  path.tickFailed("E");
  EXPECT_THAT(display.shown, ElementsAre("X", "E", "E"));
}

}  // namespace
