#include "fixture.h"

using namespace sequencer;

namespace {

class EditingTest : public testing_support::SequencerTest {};

TEST_F(EditingTest, ChoosingACellTogglesItAndShowsItsColumn) {
  seq.ColCount = 12;
  seq.setCurrentCell(0, 5);
  seq.StringGrid1Click();
  EXPECT_EQ(seq.Cells.text(0, 5), "1");
  EXPECT_EQ(seq.StatusText[0], "Позиция 1");
  seq.StringGrid1Click();
  EXPECT_EQ(seq.Cells.text(0, 5), "");
  seq.setCurrentCell(9, 5);
  seq.StringGrid1Click();
  EXPECT_EQ(seq.StatusText[0], "Позиция 10");
}

TEST_F(EditingTest, ZeroBecomesOneAndAnyOtherTextBecomesEmpty) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "1"}, {"0", "1"}, {"1", ""}, {"abc", ""}, {"00", ""}, {" 0", ""}, {"0 ", ""}};
  for (const auto& [before, after] : cases) {
    seq.Cells.setText(0, 1, before);
    seq.StringGrid1Click();
    EXPECT_EQ(seq.Cells.text(0, 1), after) << "'" << before << "'";
  }
}

TEST_F(EditingTest, EnterWalksRightToggingAndStopsAtTheLastColumn) {
  seq.ColCount = 4;
  seq.setCurrentCell(0, 7);
  std::vector<bool> moved;
  for (int i = 0; i < 5; ++i) moved.push_back(seq.StringGrid1KeyPress('\r'));
  EXPECT_THAT(moved, ::testing::ElementsAre(true, true, true, false, false));
  EXPECT_EQ(seq.CurrentCol, 3);
  EXPECT_EQ(seq.Cells.text(0, 7), "");
  EXPECT_EQ(seq.Cells.text(1, 7), "1");
  EXPECT_EQ(seq.Cells.text(2, 7), "1");
  EXPECT_EQ(seq.Cells.text(3, 7), "1");
  EXPECT_EQ(seq.StatusText[0], "Позиция 4");
  // Other keys do nothing.
  EXPECT_FALSE(seq.StringGrid1KeyPress('a'));
  EXPECT_FALSE(seq.StringGrid1KeyPress('\n'));
}

TEST_F(EditingTest, LostColumnsMoveTheCurrentCellWithoutToggling) {
  seq.ColCount = 5;
  seq.setCurrentCell(4, 2);
  seq.Cells.setText(0, 1, "1");
  seq.Narahiv();  // column 3 is empty: shrink
  EXPECT_EQ(seq.ColCount, 4);
  EXPECT_EQ(seq.CurrentCol, 3);
  EXPECT_EQ(seq.Cells.text(3, 2), "");
  EXPECT_EQ(seq.StatusText[0], "");
}

TEST_F(EditingTest, ADraggedColumnTakesAllItsCells) {
  seq.ColCount = 4;
  seq.Cells.setText(0, 1, "1");
  seq.Cells.setText(0, 0, "v");
  seq.Cells.setText(1, 2, "abc");
  seq.Cells.setText(2, 3, "0");
  seq.moveColumn(0, 2);
  EXPECT_EQ(seq.Cells.text(0, 2), "abc");
  EXPECT_EQ(seq.Cells.text(1, 3), "0");
  EXPECT_EQ(seq.Cells.text(2, 1), "1");
  EXPECT_EQ(seq.Cells.text(2, 0), "v");
  seq.moveColumn(2, 0);
  EXPECT_EQ(seq.Cells.text(0, 1), "1");
  EXPECT_EQ(seq.Cells.text(1, 2), "abc");
  EXPECT_EQ(seq.Cells.text(2, 3), "0");
}

}  // namespace
