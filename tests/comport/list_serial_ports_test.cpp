// The port list as the component gives it: sorted as text by the locale's
// rules without regard to case, every name kept, the 255-character limit of
// the name's buffer, and an unreadable list leaving the old one.
#include "comport/list_serial_ports.h"

#include <locale>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/serial_port.h"
#include "comport/sys/virtual_board.h"
#include "support/expect_com_port.h"
#include "support/recording_platform.h"

namespace {

using comport::EComPort;
using comport::ListSerialPorts;
using comport::portNameLessIn;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::Op;

class ListSerialPortsTest : public ::testing::Test {
 protected:
  std::vector<std::string> listed(std::vector<std::string> names) {
    platform.setPorts(std::move(names));
    std::vector<std::string> ports{"stale"};
    ListSerialPorts(platform, ports);
    return ports;
  }
  void expectRegistryError(std::vector<std::string>& ports) {
    testing_support::expectThrows([&] { ListSerialPorts(platform, ports); },
                                  comport::msg::kRegistry);
  }

  sys::VirtualBoard board;
  testing_support::RecordingPlatform platform{board};
};

TEST_F(ListSerialPortsTest, NamesAreInTextOrderWithoutRegardToCaseAndAllKept) {
  EXPECT_THAT(listed({"COM3", "COM1", "COM10"}), ElementsAre("COM1", "COM10", "COM3"));
  EXPECT_THAT(listed({"com2", "COM1"}), ElementsAre("COM1", "com2"));
  EXPECT_THAT(listed({"ttyUSB0", "ttyS1", "ttyACM0", "ttyS10", "ttyS2"}),
              ElementsAre("ttyACM0", "ttyS1", "ttyS10", "ttyS2", "ttyUSB0"));
  // Equal names, also equal but for case, keep the system's order.
  EXPECT_THAT(listed({"COM2", "com1", "COM1", "com1"}),
              ElementsAre("com1", "COM1", "com1", "COM2"));
  EXPECT_THAT(listed({}), IsEmpty());
}

TEST_F(ListSerialPortsTest, ANameOf255CharactersIsListedAndOneOf256IsAnError) {
  const std::string longest = "COM" + std::string(252, '9');
  ASSERT_EQ(longest.size(), 255u);
  EXPECT_THAT(listed({"COM1", longest}), ElementsAre("COM1", longest));

  platform.setPorts({"COM1", longest + "9"});
  std::vector<std::string> ports{"kept"};
  expectRegistryError(ports);
  EXPECT_THAT(ports, ElementsAre("kept"));
}

TEST_F(ListSerialPortsTest, AListThatCannotBeReadIsAnErrorAndLeavesTheOldOne) {
  platform.failCall(Op::listPorts, 1, sys::kErrorAccessDenied);
  std::vector<std::string> ports{"COM4", "COM5"};
  expectRegistryError(ports);
  EXPECT_THAT(ports, ElementsAre("COM4", "COM5"));
}

// A collation that, as many locales' do, looks past punctuation first.
class PastPunctuation : public std::collate<char> {
 protected:
  int do_compare(const char* a, const char* aEnd, const char* b, const char* bEnd) const override {
    std::string x(a, aEnd);
    std::string y(b, bEnd);
    std::erase_if(x, [](char c) { return c == '-' || c == '_'; });
    std::erase_if(y, [](char c) { return c == '-' || c == '_'; });
    return x.compare(y) < 0 ? -1 : (x == y ? 0 : 1);
  }
};

TEST_F(ListSerialPortsTest, TheOrderIsTheLocalesCollationOfTheNamesWithoutCase) {
  const std::locale classic = std::locale::classic();
  const std::locale own(classic, new PastPunctuation);
  // By bytes '-' comes before the letters; by the locale it is not looked at.
  EXPECT_TRUE(portNameLessIn("ttyUSB-b", "ttyUSBa", classic));
  EXPECT_FALSE(portNameLessIn("ttyUSB-b", "ttyUSBa", own));
  EXPECT_TRUE(portNameLessIn("ttyUSBa", "ttyUSB-b", own));
  // Case is folded before the collation is asked.
  EXPECT_TRUE(portNameLessIn("COM1", "com2", own));
  EXPECT_FALSE(portNameLessIn("com2", "COM1", own));
  EXPECT_FALSE(portNameLessIn("COM1", "com1", own));
  EXPECT_FALSE(portNameLessIn("com1", "COM1", own));
}

}  // namespace
