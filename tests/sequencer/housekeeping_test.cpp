#include "fixture.h"

using namespace sequencer;
using ::testing::ElementsAre;
using testing_support::setColCount;
using testing_support::tableCells;

namespace {

class HousekeepingTest : public testing_support::SequencerTest {
 protected:
  // A first table line of "01й канал " (10 bytes) plus `columns` column bytes.
  void loadedColumns(int columns) { loadedColumns(seq, columns); }
  static void loadedColumns(Sequencer& s, int columns) {
    s.loadTable([columns](auto& lines, auto&, auto&) {
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
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 1);
  tableCells(seq).setText(0, 17, "1");
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 2);
  EXPECT_EQ(seq.LastColumn(), 0);
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 2);
  EXPECT_EQ(seq.LastColumn(), 1);
  // "0" counts as data too; other text does not.
  tableCells(seq).setText(1, 48, "0");
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 3);
  tableCells(seq).setText(2, 1, "x");
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 3);
}

TEST_F(HousekeepingTest, EmptyingTheLastDataColumnShrinksByOnePerTick) {
  for (int c = 0; c < 5; ++c) tableCells(seq).setText(c, 3, "1");
  setColCount(seq, 6);
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 6);
  tableCells(seq).setText(4, 3, "");
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 5);
  EXPECT_EQ(seq.LastColumn(), 4);
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 5);
  // A column holding only other text neither shrinks nor grows the table.
  tableCells(seq).setText(3, 3, "abc");
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 5);
}

TEST_F(HousekeepingTest, AClearedTableShrinksOneColumnPerTickToOne) {
  for (int c = 0; c < 6; ++c) tableCells(seq).setText(c, 1, "1");
  setColCount(seq, 7);
  seq.housekeepingTick();
  seq.clearTable();
  std::vector<int> counts;
  for (int i = 0; i < 8; ++i) {
    seq.housekeepingTick();
    counts.push_back(seq.colCount());
  }
  EXPECT_THAT(counts, ElementsAre(6, 5, 4, 3, 2, 1, 1, 1));
  EXPECT_EQ(seq.LastColumn(), 0);
}

TEST_F(HousekeepingTest, AStoredTableIsRevealedWithItsPercentage) {
  loadedColumns(3);
  tableCells(seq).setText(0, 1, "1");
  tableCells(seq).setText(1, 2, "1");
  for (int r = 1; r <= 48; ++r) tableCells(seq).setText(2, r, "0");
  seq.setDecimalSeparator(",");
  std::vector<std::string> texts;
  for (int i = 0; i < 3; ++i) {
    seq.housekeepingTick();
    texts.push_back(seq.statusText()[1]);
  }
  EXPECT_THAT(texts,
              ElementsAre("Загрузка данных из файла  25,00 %", "Загрузка данных из файла  50,00 %",
                          "Загрузка данных из файла  75,00 %"));
  EXPECT_EQ(seq.colCount(), 4);
  EXPECT_DOUBLE_EQ(seq.LoadPercent(), 75.0);
  // Stopped: the next tick puts the link state back.
  seq.housekeepingTick();
  EXPECT_EQ(seq.statusText()[1], "Порт отключен - связи нет");
  EXPECT_EQ(seq.colCount(), 4);
}

TEST_F(HousekeepingTest, PercentageIsAlwaysTwoDigitsDotTwo) {
  seq.setDecimalSeparator(".");
  EXPECT_EQ(seq.formatPercent(0), "00.00");
  EXPECT_EQ(seq.formatPercent(5.5), "05.50");
  EXPECT_EQ(seq.formatPercent(33.333333), "33.33");
  EXPECT_EQ(seq.formatPercent(99.996), "100.00");
}

TEST_F(HousekeepingTest, PercentageRoundsHalvesAwayFromZero) {
  seq.setDecimalSeparator(".");
  // Exact halves (binary fractions) go up; values just below a half do not.
  EXPECT_EQ(seq.formatPercent(3.125), "03.13");
  EXPECT_EQ(seq.formatPercent(0.625), "00.63");
  EXPECT_EQ(seq.formatPercent(96.875), "96.88");
  EXPECT_EQ(seq.formatPercent(0.145), "00.14");  // 0.14499999999999999…
  EXPECT_EQ(seq.formatPercent(1.005), "01.00");  // 1.00499999999999989…
  // A 31-column table: each revealed column adds 100 / 32.
  loadedColumns(31);
  tableCells(seq).setText(0, 1, "1");
  seq.housekeepingTick();
  EXPECT_EQ(seq.statusText()[1], "Загрузка данных из файла  03.13 %");
}

TEST_F(HousekeepingTest, NoStoredColumnsShowsZeroAndHidesTheStripAtOnce) {
  loadedColumns(0);
  seq.housekeepingTick();
  EXPECT_FALSE(seq.panel3Visible());
  EXPECT_EQ(seq.progressPosition(), 0);
  tableCells(seq).setText(0, 1, "1");
  seq.housekeepingTick();
  EXPECT_EQ(seq.statusText()[1], "Загрузка данных из файла  00.00 %");
  EXPECT_DOUBLE_EQ(seq.LoadPercent(), 0.0);
}

TEST_F(HousekeepingTest, ProgressWithThreeStepsFillsAtTheFourthTick) {
  loadedColumns(2);  // n = 3
  std::vector<int> positions;
  std::vector<bool> shown;
  for (int i = 0; i < 5; ++i) {
    seq.progress();
    positions.push_back(seq.progressPosition());
    shown.push_back(seq.panel3Visible());
  }
  EXPECT_THAT(positions, ElementsAre(333333, 666666, 999999, 1000000, 1000000));
  EXPECT_THAT(shown, ElementsAre(true, true, true, false, false));
}

TEST_F(HousekeepingTest, ProgressIncrementRoundsHalfToEven) {
  // n = 128: 7812.5; n = 40: 25000 exactly; n = 7: 142857.14…
  for (const auto& [columns, increment] : {std::pair{127, 7812}, {39, 25000}, {6, 142857}}) {
    Sequencer fresh(platform, nullptr);
    loadedColumns(fresh, columns);
    fresh.progress();
    EXPECT_EQ(fresh.progressPosition(), increment) << columns;
  }
}

TEST_F(HousekeepingTest, IntervalIsAppliedEvenWhileStopped) {
  seq.housekeepingTick();
  EXPECT_EQ(seq.timer1Interval(), 100);
  EXPECT_EQ(seq.LastInterval(), 100);
  seq.setEdit1Text("250");
  seq.housekeepingTick();
  EXPECT_EQ(seq.timer1Interval(), 250);
  EXPECT_EQ(seq.edit1Text(), "250");
  // Letters count as 1 and stay as typed.
  seq.setEdit1Text("abc");
  seq.housekeepingTick();
  EXPECT_EQ(seq.timer1Interval(), 1);
  EXPECT_EQ(seq.edit1Text(), "abc");
}

TEST_F(HousekeepingTest, IntervalBelowOneIsCorrectedInBothPlaces) {
  for (const char* text : {"0", "-3"}) {
    seq.setEdit1Text("100");
    seq.housekeepingTick();
    seq.setEdit1Text(text);
    seq.housekeepingTick();
    EXPECT_EQ(seq.timer1Interval(), 1) << text;
    EXPECT_EQ(seq.edit1Text(), "1") << text;
  }
}

TEST_F(HousekeepingTest, ZeroAtTheFirstTickIsLeftAlone) {
  seq.setEdit1Text("0");
  seq.housekeepingTick();
  EXPECT_EQ(seq.edit1Text(), "0");
  EXPECT_EQ(seq.timer1Interval(), 100);
  seq.setEdit1Text("-1");
  seq.housekeepingTick();
  EXPECT_EQ(seq.edit1Text(), "1");
  EXPECT_EQ(seq.timer1Interval(), 1);
}

TEST_F(HousekeepingTest, TableFollowsTheWindowWidth) {
  seq.setWindowWidth(1920);
  seq.housekeepingTick();
  EXPECT_EQ(seq.gridWidth(), 1860);
}

TEST_F(HousekeepingTest, StateLabelsAreShownOnlyWhileTheStepTimerRuns) {
  Labels labels;
  seq.setStateLabels(&labels);
  seq.housekeepingTick();
  EXPECT_EQ(labels.noLink, 1);
  EXPECT_EQ(labels.painted, 0);
  start();
  seq.housekeepingTick();
  EXPECT_EQ(labels.painted, 1);
  EXPECT_EQ(labels.noLink, 1);
  seq.stop();
  seq.housekeepingTick();
  EXPECT_EQ(labels.noLink, 2);
  EXPECT_EQ(seq.statusText()[1], "Порт отключен - связи нет");
}

TEST_F(HousekeepingTest, ATickLooksOnlyAtTheColumnsItTests) {
  // A long stored table far beyond the shown columns does not change what
  // one tick does.
  for (int c = 0; c < 100000; c += 7) tableCells(seq).setText(c, 1 + c % 48, "1");
  tableCells(seq).setText(0, 1, "1");
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 2);
}

TEST_F(HousekeepingTest, EveryLoadedColumnIsSavedUntilTheRevealIsDone) {
  loadedColumns(3);
  for (int c = 0; c < 3; ++c) tableCells(seq).setText(c, 1, "1");
  EXPECT_EQ(seq.columnsToSave(), 3);
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 2);
  EXPECT_EQ(seq.columnsToSave(), 3);
  seq.housekeepingTick();
  seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 4);
  // Once everything is shown, the shown table is what counts.
  tableCells(seq).setText(2, 1, "");
  seq.housekeepingTick();
  EXPECT_EQ(seq.columnsToSave(), 2);
}

TEST_F(HousekeepingTest, ClearingDuringTheRevealKeepsTheUnrevealedColumns) {
  loadedColumns(5);
  for (int c = 0; c < 5; ++c) tableCells(seq).setText(c, 2, "1");
  seq.housekeepingTick();
  seq.housekeepingTick();  // ColCount 3, LastColumn 1
  seq.clearTable();
  EXPECT_EQ(seq.cells().text(0, 2), "");
  EXPECT_EQ(seq.cells().text(1, 2), "");
  EXPECT_EQ(seq.cells().text(2, 2), "1");
  EXPECT_EQ(seq.StepColumn(), 0);
  for (int i = 0; i < 5; ++i) seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 1);
  EXPECT_EQ(seq.columnsToSave(), 5);
  // Data in column 0 again: the table grows back over the kept columns.
  tableCells(seq).setText(0, 9, "1");
  tableCells(seq).setText(1, 9, "1");
  for (int i = 0; i < 6; ++i) seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 6);
  EXPECT_EQ(seq.cells().text(4, 2), "1");
}

}  // namespace
