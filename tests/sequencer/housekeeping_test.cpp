#include "fixture.h"

using namespace sequencer;
using ::testing::ElementsAre;
using testing_support::putCell;

namespace {

class HousekeepingTest : public testing_support::SequencerTest {
 protected:
  // A first table line of "01й канал " (10 bytes) plus `columns` column bytes.
  void loadedColumns(int columns) { loadedColumns(table, columns); }
  static void loadedColumns(SequenceTable& t, int columns) {
    t.load([columns](auto& lines, auto&) {
      lines.firstLineLength = 10 + columns;
      return columns;
    });
  }

  struct Labels : StateLabels {
    int painted = 0;
    int noLink = 0;
    void indikator() override { ++painted; }
    void showNoLink() override { ++noLink; }
  };
};

TEST_F(HousekeepingTest, ALastColumnWithDataGrowsTheTableByOne) {
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 1);
  putCell(table, 0, 17, "1");
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 2);
  EXPECT_EQ(player.LastColumn(), 0);
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 2);
  EXPECT_EQ(player.LastColumn(), 1);
  // "0" counts as data too; other text does not.
  putCell(table, 1, 48, "0");
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 3);
  putCell(table, 2, 1, "x");
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 3);
}

TEST_F(HousekeepingTest, EmptyingTheLastDataColumnShrinksByOnePerTick) {
  for (int c = 0; c < 5; ++c) putCell(table, c, 3, "1");
  table.setColCount(6);
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 6);
  putCell(table, 4, 3, "");
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 5);
  EXPECT_EQ(player.LastColumn(), 4);
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 5);
  // A column holding only other text neither shrinks nor grows the table.
  putCell(table, 3, 3, "abc");
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 5);
}

TEST_F(HousekeepingTest, AClearedTableShrinksOneColumnPerTickToOne) {
  for (int c = 0; c < 6; ++c) putCell(table, c, 1, "1");
  table.setColCount(7);
  player.housekeepingTick();
  table.clearChannels(player.LastColumn());
  player.rewind();
  std::vector<int> counts;
  for (int i = 0; i < 8; ++i) {
    player.housekeepingTick();
    counts.push_back(table.colCount());
  }
  EXPECT_THAT(counts, ElementsAre(6, 5, 4, 3, 2, 1, 1, 1));
  EXPECT_EQ(player.LastColumn(), 0);
}

TEST_F(HousekeepingTest, AStoredTableIsRevealedWithItsPercentage) {
  putCell(table, 0, 1, "1");
  putCell(table, 1, 2, "1");
  for (int r = 1; r <= 48; ++r) putCell(table, 2, r, "0");
  loadedColumns(3);
  form.setDecimalSeparator(",");
  std::vector<std::string> texts;
  for (int i = 0; i < 3; ++i) {
    player.housekeepingTick();
    texts.push_back(form.statusText()[1]);
  }
  EXPECT_THAT(texts,
              ElementsAre("Загрузка данных из файла  25,00 %", "Загрузка данных из файла  50,00 %",
                          "Загрузка данных из файла  75,00 %"));
  EXPECT_EQ(table.colCount(), 4);
  EXPECT_DOUBLE_EQ(player.LoadPercent(), 75.0);
  // Stopped: the next tick puts the link state back.
  player.housekeepingTick();
  EXPECT_EQ(form.statusText()[1], "Порт отключен - связи нет");
  EXPECT_EQ(table.colCount(), 4);
}

TEST_F(HousekeepingTest, PercentageIsAlwaysTwoDigitsDotTwo) {
  form.setDecimalSeparator(".");
  EXPECT_EQ(form.formatPercent(0), "00.00");
  EXPECT_EQ(form.formatPercent(5.5), "05.50");
  EXPECT_EQ(form.formatPercent(33.333333), "33.33");
  EXPECT_EQ(form.formatPercent(99.996), "100.00");
}

TEST_F(HousekeepingTest, PercentageRoundsHalvesAwayFromZero) {
  form.setDecimalSeparator(".");
  // Exact halves (binary fractions) go up; values just below a half do not.
  EXPECT_EQ(form.formatPercent(3.125), "03.13");
  EXPECT_EQ(form.formatPercent(0.625), "00.63");
  EXPECT_EQ(form.formatPercent(96.875), "96.88");
  EXPECT_EQ(form.formatPercent(0.145), "00.14");  // 0.14499999999999999…
  EXPECT_EQ(form.formatPercent(1.005), "01.00");  // 1.00499999999999989…
  // A 31-column table: each revealed column adds 100 / 32.
  putCell(table, 0, 1, "1");
  loadedColumns(31);
  player.housekeepingTick();
  EXPECT_EQ(form.statusText()[1], "Загрузка данных из файла  03.13 %");
}

TEST_F(HousekeepingTest, NoStoredColumnsShowsZeroAndHidesTheStripAtOnce) {
  loadedColumns(0);
  player.housekeepingTick();
  EXPECT_FALSE(form.panel3Visible());
  EXPECT_EQ(form.progressPosition(), 0);
  putCell(table, 0, 1, "1");
  player.housekeepingTick();
  EXPECT_EQ(form.statusText()[1], "Загрузка данных из файла  00.00 %");
  EXPECT_DOUBLE_EQ(player.LoadPercent(), 0.0);
}

TEST_F(HousekeepingTest, ProgressWithThreeStepsFillsAtTheFourthTick) {
  loadedColumns(2);  // n = 3
  std::vector<int> positions;
  std::vector<bool> shown;
  for (int i = 0; i < 5; ++i) {
    player.progress();
    positions.push_back(form.progressPosition());
    shown.push_back(form.panel3Visible());
  }
  EXPECT_THAT(positions, ElementsAre(333333, 666666, 999999, 1000000, 1000000));
  EXPECT_THAT(shown, ElementsAre(true, true, true, false, false));
}

TEST_F(HousekeepingTest, ProgressIncrementRoundsHalfToEven) {
  // n = 128: 7812.5; n = 40: 25000 exactly; n = 7: 142857.14…
  for (const auto& [columns, increment] : {std::pair{127, 7812}, {39, 25000}, {6, 142857}}) {
    SequenceTable freshTable;
    MainFormState freshForm;
    Player fresh(platform, nullptr, freshTable, freshForm);
    loadedColumns(freshTable, columns);
    fresh.progress();
    EXPECT_EQ(freshForm.progressPosition(), increment) << columns;
  }
}

TEST_F(HousekeepingTest, IntervalIsAppliedEvenWhileStopped) {
  player.housekeepingTick();
  EXPECT_EQ(form.timer1Interval(), 100);
  EXPECT_EQ(player.LastInterval(), 100);
  form.setEdit1Text("250");
  player.housekeepingTick();
  EXPECT_EQ(form.timer1Interval(), 250);
  EXPECT_EQ(form.edit1Text(), "250");
  // Letters count as 1 and stay as typed.
  form.setEdit1Text("abc");
  player.housekeepingTick();
  EXPECT_EQ(form.timer1Interval(), 1);
  EXPECT_EQ(form.edit1Text(), "abc");
}

TEST_F(HousekeepingTest, IntervalBelowOneIsCorrectedInBothPlaces) {
  for (const char* text : {"0", "-3"}) {
    form.setEdit1Text("100");
    player.housekeepingTick();
    form.setEdit1Text(text);
    player.housekeepingTick();
    EXPECT_EQ(form.timer1Interval(), 1) << text;
    EXPECT_EQ(form.edit1Text(), "1") << text;
  }
}

TEST_F(HousekeepingTest, ZeroAtTheFirstTickIsLeftAlone) {
  form.setEdit1Text("0");
  player.housekeepingTick();
  EXPECT_EQ(form.edit1Text(), "0");
  EXPECT_EQ(form.timer1Interval(), 100);
  form.setEdit1Text("-1");
  player.housekeepingTick();
  EXPECT_EQ(form.edit1Text(), "1");
  EXPECT_EQ(form.timer1Interval(), 1);
}

TEST_F(HousekeepingTest, TableFollowsTheWindowWidth) {
  form.setWindowWidth(1920);
  player.housekeepingTick();
  EXPECT_EQ(form.gridWidth(), 1860);
}

TEST_F(HousekeepingTest, StateLabelsAreShownOnlyWhileTheStepTimerRuns) {
  Labels labels;
  player.setStateLabels(&labels);
  player.housekeepingTick();
  EXPECT_EQ(labels.noLink, 1);
  EXPECT_EQ(labels.painted, 0);
  start();
  player.housekeepingTick();
  EXPECT_EQ(labels.painted, 1);
  EXPECT_EQ(labels.noLink, 1);
  testing_support::stop(player);
  player.housekeepingTick();
  EXPECT_EQ(labels.noLink, 2);
  EXPECT_EQ(form.statusText()[1], "Порт отключен - связи нет");
}

TEST_F(HousekeepingTest, ATickLooksOnlyAtTheColumnsItTests) {
  // A long stored table far beyond the shown columns does not change what
  // one tick does.
  for (int c = 0; c < 100000; c += 7) putCell(table, c, 1 + c % 48, "1");
  putCell(table, 0, 1, "1");
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 2);
}

TEST_F(HousekeepingTest, EveryLoadedColumnIsSavedUntilTheRevealIsDone) {
  for (int c = 0; c < 3; ++c) putCell(table, c, 1, "1");
  loadedColumns(3);
  EXPECT_EQ(table.columnsToSave(), 3);
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 2);
  EXPECT_EQ(table.columnsToSave(), 3);
  player.housekeepingTick();
  player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 4);
  // Once everything is shown, the shown table is what counts.
  putCell(table, 2, 1, "");
  player.housekeepingTick();
  EXPECT_EQ(table.columnsToSave(), 2);
}

TEST_F(HousekeepingTest, ClearingDuringTheRevealKeepsTheUnrevealedColumns) {
  for (int c = 0; c < 5; ++c) putCell(table, c, 2, "1");
  loadedColumns(5);
  player.housekeepingTick();
  player.housekeepingTick();  // ColCount 3, LastColumn 1
  table.clearChannels(player.LastColumn());
  player.rewind();
  EXPECT_EQ(table.cells().text(0, 2), "");
  EXPECT_EQ(table.cells().text(1, 2), "");
  EXPECT_EQ(table.cells().text(2, 2), "1");
  EXPECT_EQ(player.StepColumn(), 0);
  for (int i = 0; i < 5; ++i) player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 1);
  EXPECT_EQ(table.columnsToSave(), 5);
  // Data in column 0 again: the table grows back over the kept columns.
  putCell(table, 0, 9, "1");
  putCell(table, 1, 9, "1");
  for (int i = 0; i < 6; ++i) player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 6);
  EXPECT_EQ(table.cells().text(4, 2), "1");
}

}  // namespace
