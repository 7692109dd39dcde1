// Start-up and close sequences of the program, on the virtual board and in a
// folder of their own.
#include "program/program.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "comport/sys/virtual_board.h"
#include "storage/file_test_support.h"
#include "storage/table_file.h"
#include "support/recording_platform.h"
#include "support/save_faults.h"
#include "support/sequencer_setup.h"
#include "support/table_bytes.h"

using testing_support::putCell;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing_support::Op;
using testing_support::readBytes;
using testing_support::writeBytes;

namespace {

struct RecordedErrors : program::ErrorSink {
  std::vector<std::string> messages;
  void showError(const std::string& message) override { messages.push_back(message); }
};

// "01й канал " … in Windows-1251 followed by the given column bytes, and the
// interval line; CR LF after each line.
std::string tableFile(const std::vector<std::string>& columnsPerChannel,
                      const std::string& interval, const std::string& extra = "") {
  return testing_support::tableFileBytes(columnsPerChannel, interval) + extra;
}

std::vector<std::string> columns(int n, const std::function<char(int col, int channel)>& cell) {
  std::vector<std::string> lines(48);
  for (int k = 1; k <= 48; ++k) {
    for (int c = 0; c < n; ++c) lines[static_cast<std::size_t>(k - 1)] += cell(c, k);
  }
  return lines;
}

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() { platform.setLogging(true); }

  std::unique_ptr<program::Program> makeProgram() {
    platform.setPorts(ports);
    if (!portsReadable) platform.failAlways(Op::listPorts, sys::kErrorAccessDenied);
    auto program = std::make_unique<program::Program>(platform, nullptr, errors, tablePath(),
                                                      settingsPath(), disk);
    return program;
  }
  std::string tablePath() const { return folder.path(storage::kTableFileName); }
  std::string settingsPath() const { return folder.path("Rilvet.dat"); }
  std::vector<testing_support::Call> wire() const { return platform.wire(); }
  std::vector<testing_support::Call> deviceCalls() const {
    std::vector<testing_support::Call> out;
    for (const auto& call : platform.calls()) {
      if (call.op != Op::listPorts) out.push_back(call);
    }
    return out;
  }

  void startOnBoard(program::Program& program) {
    program.form().setComboText(sys::kVirtualPort);
    program.player().startOrPause();
    ASSERT_TRUE(program.player().SerialPort1().IsOpen());
  }

  testing_support::TempFolder folder;
  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>();
  testing_support::RecordingPlatform platform{*board};
  std::vector<std::string> ports;  // the machine's, as its platform lists them
  bool portsReadable = true;
  RecordedErrors errors;
  testing_support::SaveFaults disk;
};

TEST_F(ProgramTest, FirstStartCreatesTheDefaultFileAndTouchesNoLine) {
  ports = {"COM3", "COM1"};
  auto program = makeProgram();
  program->FormCreate();
  program->loadMatching();
  EXPECT_THAT(errors.messages, IsEmpty());
  EXPECT_EQ(readBytes(tablePath()), storage::joinLines(storage::defaultTableLines()));
  EXPECT_FALSE(testing_support::exists(settingsPath()));
  EXPECT_THAT(program->form().comboItems(), ElementsAre("COM1", "COM3", "VIRTUAL"));
  EXPECT_EQ(program->form().comboText(), "COM1");
  EXPECT_EQ(program->form().edit1Text(), "100");
  EXPECT_EQ(program->table().colCount(), 1);
  EXPECT_EQ(program->player().StepColumn(), -1);
  EXPECT_EQ(program->player().StepRunning(), 0);
  for (int flag : program->player().ChannelEnabled()) EXPECT_EQ(flag, 1);
  EXPECT_EQ(program->player().SerialPort1().Port(), "COM2");  // left as designed until a start
  EXPECT_THAT(deviceCalls(), IsEmpty());
  for (int box : program->matching().boxes()) EXPECT_EQ(box, 0);
}

TEST_F(ProgramTest, WithoutSerialPortsTheVirtualBoardIsFirstAndChosen) {
  auto program = makeProgram();
  program->FormCreate();
  EXPECT_THAT(program->form().comboItems(), ElementsAre("VIRTUAL"));
  EXPECT_EQ(program->form().comboText(), "VIRTUAL");
}

TEST_F(ProgramTest, PortsAreListedInTextOrderWithoutRegardToCase) {
  ports = {"COM2", "COM10", "com3", "COM1", "COM1"};
  auto program = makeProgram();
  program->FormCreate();
  EXPECT_THAT(program->form().comboItems(),
              ElementsAre("COM1", "COM1", "COM10", "COM2", "com3", "VIRTUAL"));
  EXPECT_EQ(program->form().comboText(), "COM1");
}

TEST_F(ProgramTest, AnUnreadablePortListIsReportedAndStartUpGoesOn) {
  portsReadable = false;
  writeBytes(tablePath(),
             tableFile(columns(2, [](int c, int k) { return k == c + 1 ? '1' : '0'; }), "250"));
  auto program = makeProgram();
  program->FormCreate();
  EXPECT_THAT(errors.messages, ElementsAre("Ошибка обращения к системному реестру"));
  EXPECT_THAT(program->form().comboItems(), ElementsAre("VIRTUAL"));
  EXPECT_EQ(program->form().edit1Text(), "250");
  EXPECT_EQ(program->table().cells().text(0, 1), "1");
  EXPECT_EQ(program->table().cells().text(1, 2), "1");
  for (int flag : program->player().ChannelEnabled()) EXPECT_EQ(flag, 1);
}

TEST_F(ProgramTest, ASavedTableIsLoadedButRevealedByTheHousekeepingTick) {
  const std::string stored =
      tableFile(columns(3, [](int c, int k) { return (c + k) % 4 == 0 ? '1' : '0'; }), "40");
  writeBytes(tablePath(), stored);
  auto program = makeProgram();
  program->FormCreate();
  EXPECT_EQ(program->table().colCount(), 1);
  EXPECT_EQ(program->form().edit1Text(), "40");
  for (int i = 0; i < 3; ++i) program->player().housekeepingTick();
  EXPECT_EQ(program->table().colCount(), 4);
  // Nothing changed: the close writes the file back byte for byte.
  program->FormClose();
  EXPECT_EQ(readBytes(tablePath()), stored);
}

TEST_F(ProgramTest, ExitDuringTheRevealKeepsEveryLoadedColumn) {
  const std::string stored =
      tableFile(columns(6, [](int c, int k) { return k == c + 10 ? '1' : '0'; }), "100");
  writeBytes(tablePath(), stored);
  auto program = makeProgram();
  program->FormCreate();
  program->player().housekeepingTick();
  program->player().housekeepingTick();
  ASSERT_EQ(program->table().colCount(), 3);
  program->FormClose();
  EXPECT_EQ(readBytes(tablePath()), stored);
}

// Something that exists at the table file's name but cannot be read: the
// load fails, and the exit must neither write over it nor lose the edits.
void unreadableTableIsKeptAndTheEditsSavedBeside(program::Program& program,
                                                 const std::string& tablePath,
                                                 const std::vector<std::string>& messages) {
  program.FormCreate();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("Rilvet_код.txt"), std::string::npos);
  for (int flag : program.player().ChannelEnabled()) EXPECT_EQ(flag, 1);
  putCell(program.table(), 0, 1, "1");
  program.form().setEdit1Text("250");
  // The exit button, then the close it leads to: both save, one message.
  program.BitBtn6Click();
  program.FormClose();
  const std::string beside = tablePath + ".edited";
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[1].find("\"" + tablePath + "\""), std::string::npos) << messages[1];
  EXPECT_NE(messages[1].find("\"" + beside + "\""), std::string::npos) << messages[1];
  EXPECT_EQ(readBytes(beside),
            tableFile(columns(1, [](int, int k) { return k == 1 ? '1' : '0'; }), "250"));
}

TEST_F(ProgramTest, AnUnreadableTableIsKeptAndTheEditedTableIsSavedBesideIt) {
  // A folder where the file should be.
  std::filesystem::create_directory(testing_support::fsPath(tablePath()));
  auto program = makeProgram();
  unreadableTableIsKeptAndTheEditsSavedBeside(*program, tablePath(), errors.messages);
  EXPECT_TRUE(std::filesystem::is_directory(testing_support::fsPath(tablePath())));
  EXPECT_TRUE(testing_support::exists(settingsPath()));

  // A later session that fails the same way keeps the earlier edits.
  errors.messages.clear();
  writeBytes(tablePath() + ".edited", "earlier");
  auto again = makeProgram();
  again->FormCreate();
  putCell(again->table(), 0, 1, "1");
  again->FormClose();
  EXPECT_EQ(readBytes(tablePath() + ".edited"), "earlier");
  EXPECT_TRUE(testing_support::exists(tablePath() + ".edited1"));
  ASSERT_EQ(errors.messages.size(), 2u);
  EXPECT_NE(errors.messages[1].find(".edited1\""), std::string::npos);
}

#ifndef _WIN32
TEST_F(ProgramTest, AFifoAtTheTableNameIsKeptAndTheEditedTableIsSavedBesideIt) {
  ASSERT_EQ(mkfifo(tablePath().c_str(), 0600), 0);
  auto program = makeProgram();
  unreadableTableIsKeptAndTheEditsSavedBeside(*program, tablePath(), errors.messages);
  EXPECT_TRUE(std::filesystem::is_fifo(tablePath()));
}
#endif

TEST_F(ProgramTest, ExitWhileRunningSendsTheAllOffFrameAfterTheStepThenCloses) {
  writeBytes(tablePath(),
             tableFile(columns(2, [](int c, int k) { return k <= c + 1 ? '1' : '0'; }), "100"));
  auto program = makeProgram();
  program->FormCreate();
  program->loadMatching();
  program->matching().setBox(1, 2);
  program->matching().setBox(2, 3);
  program->player().housekeepingTick();
  program->player().housekeepingTick();
  startOnBoard(*program);
  testing_support::stepTick(program->player());
  ASSERT_TRUE(board->channelOutput(1));
  platform.clearCalls();

  program->BitBtn6Click();
  program->FormClose();  // the window closes after the button's own steps

  std::vector<testing_support::Call> expected = testing_support::allOffWire();
  expected.push_back(testing_support::clrDtr());  // ClosePort lowers DTR, then RTS
  expected.push_back(testing_support::clrRts());
  EXPECT_THAT(wire(), ElementsAreArray(expected));
  EXPECT_EQ(board->outputBits(), 0u);
  EXPECT_FALSE(board->state().open);
  EXPECT_FALSE(program->player().SerialPort1().IsOpen());
  EXPECT_THAT(errors.messages, IsEmpty());
  // Both files, byte-exact.
  EXPECT_EQ(readBytes(tablePath()),
            tableFile(columns(2, [](int c, int k) { return k <= c + 1 ? '1' : '0'; }), "100"));
  std::string settings(64, '\0');
  settings[0] = 2;
  settings[4] = 3;
  EXPECT_EQ(readBytes(settingsPath()), settings);
}

TEST_F(ProgramTest, CloseBoxGivesTheSameTrafficAndFilesAsTheExitButton) {
  auto run = [&](bool viaButton) {
    testing_support::TempFolder own;
    auto program = std::make_unique<program::Program>(platform, nullptr, errors, own.path("t.txt"),
                                                      own.path("s.dat"));
    program->FormCreate();
    putCell(program->table(), 0, 5, "1");
    program->player().housekeepingTick();
    startOnBoard(*program);
    testing_support::stepTick(program->player());
    platform.clearCalls();
    if (viaButton) program->BitBtn6Click();
    program->FormClose();
    return std::make_tuple(wire(), readBytes(own.path("t.txt")), readBytes(own.path("s.dat")));
  };
  EXPECT_EQ(run(true), run(false));
}

TEST_F(ProgramTest, ExitWithThePortNeverOpenedTouchesNoLineAndWritesBothFiles) {
  auto program = makeProgram();
  program->FormCreate();
  program->form().setEdit1Text("abc");
  platform.clearCalls();
  program->BitBtn6Click();
  program->FormClose();
  EXPECT_THAT(deviceCalls(), IsEmpty());
  auto lines = storage::splitLines(readBytes(tablePath()));
  ASSERT_EQ(lines.size(), 49u);
  EXPECT_EQ(lines[48], testing_support::kIntervalPrefix + "1");
  EXPECT_EQ(readBytes(settingsPath()), std::string(64, '\0'));
}

TEST_F(ProgramTest, APortThatDiedStillLetsTheProgramEndWithBothFilesSaved) {
  auto program = makeProgram();
  program->FormCreate();
  putCell(program->table(), 0, 7, "1");
  program->player().housekeepingTick();
  program->matching().setBox(3, 1);
  startOnBoard(*program);
  testing_support::stepTick(program->player());
  platform.unplug();

  program->BitBtn6Click();
  program->FormClose();

  // One message for the dead port, not one per step.
  EXPECT_THAT(errors.messages, ElementsAre("Ошибка функции EscapeCommFunction"));
  EXPECT_FALSE(program->player().SerialPort1().IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
  auto lines = storage::splitLines(readBytes(tablePath()));
  ASSERT_EQ(lines.size(), 49u);
  EXPECT_EQ(lines[6], testing_support::channelPrefix(7) + "1");
  EXPECT_EQ(readBytes(settingsPath()).substr(8, 4), std::string("\x01\0\0\0", 4));
}

TEST_F(ProgramTest, AFailedSaveIsReportedAndTheOtherFileIsStillWritten) {
  auto program = makeProgram();
  program->FormCreate();
  const std::string before = readBytes(tablePath());
  putCell(program->table(), 0, 1, "1");
  program->player().housekeepingTick();
  disk.failNextWriteAt(testing_support::WriteStep::kWrite);
  program->FormClose();
  ASSERT_EQ(errors.messages.size(), 1u);
  EXPECT_NE(errors.messages[0].find("Rilvet_код.txt"), std::string::npos);
  EXPECT_EQ(readBytes(tablePath()), before);
  EXPECT_EQ(readBytes(settingsPath()), std::string(64, '\0'));
}

TEST_F(ProgramTest, SettingsAreLoadedIntoTheBoxes) {
  std::string settings(64, '\0');
  settings[0] = 2;
  settings[4] = 3;
  settings[60] = 7;  // out of range: no selection
  writeBytes(settingsPath(), settings);
  auto program = makeProgram();
  program->FormCreate();
  program->loadMatching();
  const auto& boxes = program->matching().boxes();
  EXPECT_EQ(boxes[0], 2);
  EXPECT_EQ(boxes[1], 3);
  EXPECT_EQ(boxes[15], -1);
  program->FormClose();
  settings[60] = '\xFF';
  settings[61] = '\xFF';
  settings[62] = '\xFF';
  settings[63] = '\xFF';
  EXPECT_EQ(readBytes(settingsPath()), settings);
}

// A click on the table and Enter in it.
TEST_F(ProgramTest, ChoosingACellTogglesItAndShowsItsColumn) {
  auto program = makeProgram();
  auto& table = program->table();
  table.setColCount(12);
  table.setCurrentCell(0, 5);
  program->StringGrid1Click();
  EXPECT_EQ(table.cells().text(0, 5), "1");
  EXPECT_EQ(program->form().statusText()[0], "Позиция 1");
  program->StringGrid1Click();
  EXPECT_EQ(table.cells().text(0, 5), "");
  table.setCurrentCell(9, 5);
  program->StringGrid1Click();
  EXPECT_EQ(program->form().statusText()[0], "Позиция 10");
}

TEST_F(ProgramTest, EnterWalksRightToggingAndStopsAtTheLastColumn) {
  auto program = makeProgram();
  auto& table = program->table();
  table.setColCount(4);
  table.setCurrentCell(0, 7);
  std::vector<bool> moved;
  for (int i = 0; i < 5; ++i) moved.push_back(program->StringGrid1KeyPress('\r'));
  EXPECT_THAT(moved, ElementsAre(true, true, true, false, false));
  EXPECT_EQ(table.currentCol(), 3);
  EXPECT_EQ(table.cells().text(0, 7), "");
  EXPECT_EQ(table.cells().text(1, 7), "1");
  EXPECT_EQ(table.cells().text(2, 7), "1");
  EXPECT_EQ(table.cells().text(3, 7), "1");
  EXPECT_EQ(program->form().statusText()[0], "Позиция 4");
  // Other keys do nothing.
  EXPECT_FALSE(program->StringGrid1KeyPress('a'));
  EXPECT_FALSE(program->StringGrid1KeyPress('\n'));
}

}  // namespace
