// What a user can make the program open. A port name typed into the port box
// reaches only a terminal device in the device folder; anything else (paths,
// files, other devices, links out of the folder) fails as a missing port
// without being opened at all. And the program's own files are its two fixed
// names in its working folder, nothing else, nowhere else.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comport/sys/linux_platform.h"
#include "inputs/settings_file.h"
#include "rig.h"
#include "support/expect_com_port.h"
#include "support/sequencer_setup.h"

namespace reliability {
namespace {

namespace fs = std::filesystem;

// Everything that happens to the entries of some folders, by inotify.
class FolderWatch {
 public:
  FolderWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~FolderWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  void add(const std::string& folder) {
    ASSERT_GE(fd_, 0) << strerror(errno);
    const int wd = inotify_add_watch(fd_, folder.c_str(), IN_ALL_EVENTS & ~IN_CLOSE_NOWRITE);
    ASSERT_GE(wd, 0) << folder << ": " << strerror(errno);
    folders_[wd] = folder;
  }
  // "folder/name: what" for each event since the last call.
  std::vector<std::string> events() {
    std::vector<std::string> out;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (char* p = buffer; p < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(p);
        std::string what;
        if (event->mask & IN_OPEN) what += " open";
        if (event->mask & IN_ACCESS) what += " read";
        if (event->mask & IN_MODIFY) what += " write";
        if (event->mask & IN_CREATE) what += " create";
        if (event->mask & IN_DELETE) what += " delete";
        if (event->mask & (IN_MOVED_FROM | IN_MOVED_TO)) what += " rename";
        if (event->mask & IN_ATTRIB) what += " attributes";
        if (event->mask & IN_CLOSE_WRITE) what += " close";
        out.push_back(folders_[event->wd] + "/" + (event->len ? event->name : "") + ":" + what);
        p += sizeof(inotify_event) + event->len;
      }
    }
    return out;
  }

 private:
  int fd_;
  std::map<int, std::string> folders_;
};

// The descriptors this process has open, as the paths they lead to.
std::multiset<std::string> openFiles() {
  std::multiset<std::string> out;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    // The iterator's own descriptor is gone by the time it is read.
    if (!ec) out.insert(target.string());
  }
  return out;
}

class PortNameTest : public ::testing::Test {
 protected:
  PortNameTest() {
    fs::create_directories(dev());
    fs::create_directories(sys() + "/class/tty");
    fs::create_directories(outside());
    writeFile(dev() + "/tty", "a regular file where a port could be");
    writeFile(dev() + "/passwd", "root:x:0:0::/root:/bin/sh\n");
    writeFile(outside() + "/secret", "not for the port\n");
    fs::create_symlink("/dev/null", dev() + "/null");
    fs::create_symlink(outside() + "/secret", dev() + "/link");
    fs::create_symlink("../outside/secret", dev() + "/relative");
    fs::create_directory(dev() + "/folder");
    EXPECT_EQ(::mkfifo((outside() + "/fifo").c_str(), 0600), 0) << strerror(errno);
    fs::create_symlink(outside() + "/fifo", dev() + "/fifo");

    // The backends as the program has them: the machine's ports (here the
    // temporary device and sysfs folders), and the virtual board.
    program =
        std::make_unique<program::Program>(sys::Backends(platform, &board), nullptr, errors,
                                           folder.path("table.txt"), folder.path("settings.dat"));
    program->FormCreate();
    program->loadMatching();
  }
  ~PortNameTest() override { program.reset(); }

  static void writeFile(const std::string& path, const std::string& bytes) {
    testing_support::writeBytes(path, bytes);
  }
  std::string dev() const { return folder.path("dev"); }
  std::string sys() const { return folder.path("sys"); }
  std::string outside() const { return folder.path("outside"); }

  testing_support::TempFolder folder;
  std::unique_ptr<sys::Platform> machine =
      sys::makeLinuxPlatform(dev(), sys(), folder.path("lock"));
  testing_support::RecordingPlatform platform{*machine};
  sys::VirtualBoard board;
  RecordedErrors errors;
  std::unique_ptr<program::Program> program;
};

TEST_F(PortNameTest, ATypedNameOpensNothingButATerminalInTheDeviceFolder) {
  // The list holds only the virtual board: the class folder has no ttys.
  EXPECT_EQ(program->form().comboItems(), std::vector<std::string>{sys::kVirtualPort});
  EXPECT_EQ(errors.messages, std::vector<std::string>{});  // the list was read

  FolderWatch watch;
  watch.add(dev());
  watch.add(outside());
  watch.add(folder.path(""));
  const auto filesBefore = openFiles();
  const std::string passwd = testing_support::readBytes("/etc/passwd");

  const std::vector<std::string> names = {"../../etc/passwd",
                                          "/etc/passwd",
                                          "tty",
                                          "null",
                                          "..",
                                          "a/b",
                                          ".",
                                          "",
                                          "passwd",
                                          "link",
                                          "relative",
                                          "folder",
                                          "fifo",
                                          "./tty",
                                          "tty/",
                                          "../dev/tty",
                                          "..\\tty",
                                          "\\\\.\\tty",
                                          "/dev/null",
                                          "../outside/secret",
                                          "dev/tty",
                                          "tty\n",
                                          "COM1",
                                          "virtual",
                                          "VIRTUAL/.."};
  for (const std::string& name : names) {
    SCOPED_TRACE("port name \"" + name + "\"");
    program->form().setComboText(name);
    testing_support::expectThrows([&] { program->player().startOrPause(); },
                                  comport::msg::kNoSuchPort);
    EXPECT_FALSE(program->player().SerialPort1().IsOpen());
    EXPECT_FALSE(program->form().timer1Enabled());
    EXPECT_TRUE(program->form().comboEnabled());
    EXPECT_EQ(program->player().StepRunning(), 0);
    EXPECT_EQ(platform.openDevices(), 0);
    EXPECT_EQ(platform.openEvents(), 0);
    // Nothing in the folders was opened, read, written or created, even for
    // a moment.
    EXPECT_EQ(watch.events(), std::vector<std::string>{});
    EXPECT_EQ(openFiles(), filesBefore);
  }
  EXPECT_EQ(testing_support::readBytes(dev() + "/tty"), "a regular file where a port could be");
  EXPECT_EQ(testing_support::readBytes(outside() + "/secret"), "not for the port\n");
  EXPECT_EQ(testing_support::readBytes("/etc/passwd"), passwd);

  // The list's own entry still opens.
  program->form().setComboText(sys::kVirtualPort);
  program->player().startOrPause();
  EXPECT_TRUE(board.state().open);
  testing_support::stop(program->player());
  EXPECT_EQ(platform.openDevices(), 0);
}

// ---------------------------------------------------------------- own files

// Runs `body` with the working folder set to `folder`.
void inFolder(const std::string& folder, const std::function<void()>& body) {
  const fs::path before = fs::current_path();
  fs::current_path(folder);
  body();
  fs::current_path(before);
}

class OwnFilesTest : public ::testing::Test {
 protected:
  OwnFilesTest() {
    fs::create_directories(work());
    fs::create_directories(folder.path("dev"));
    fs::create_directories(folder.path("sys/class/tty"));
  }

  std::string work() const { return folder.path("work"); }

  // A whole run: start-up, a few steps on the board, stop, exit.
  void run() {
    const auto machine =
        sys::makeLinuxPlatform(folder.path("dev"), folder.path("sys"), folder.path("lock"));
    testing_support::RecordingPlatform platform{*machine};
    sys::VirtualBoard board;
    RecordedErrors errors;
    {
      // The bare names, as the program's entry gives them.
      program::Program program(sys::Backends(platform, &board), nullptr, errors,
                               storage::kTableFileName, inputs::kSettingsFileName);
      program.FormCreate();
      program.loadMatching();
      for (int i = 0; i < 6; ++i) program.player().housekeepingTick();
      program.form().setComboText(sys::kVirtualPort);
      program.player().startOrPause();
      for (int i = 0; i < 5; ++i) testing_support::stepTick(program.player());
      program.table().setCell(0, 7, "1");
      testing_support::stop(program.player());
      program.BitBtn6Click();
      program.FormClose();
    }
    EXPECT_EQ(errors.messages, std::vector<std::string>{});
    EXPECT_EQ(platform.openDevices(), 0);
  }

  // Names created anywhere in the test's folder but the working folder.
  std::vector<std::string> elsewhere(FolderWatch& watch) {
    std::vector<std::string> out;
    for (const std::string& event : watch.events()) {
      if (event.find(" create") != std::string::npos) out.push_back(event);
    }
    return out;
  }

  testing_support::TempFolder folder;
};

TEST_F(OwnFilesTest, AFirstRunCreatesExactlyTheTwoFilesInTheWorkingFolder) {
  FolderWatch watch;
  watch.add(folder.path(""));
  watch.add(folder.path("dev"));
  watch.add(folder.path("sys"));
  inFolder(work(), [&] { run(); });
  EXPECT_EQ(elsewhere(watch), std::vector<std::string>{});
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(work())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"Rilvet_код.txt", "Rilvet.dat"}));
  EXPECT_EQ(fs::file_size(fs::path(work()) / "Rilvet.dat"), 64u);
}

TEST_F(OwnFilesTest, ADamagedTableAddsOnlyItsBackup) {
  testing_support::writeBytes(work() + "/Rilvet_код.txt", "not a table\r\n");
  FolderWatch watch;
  watch.add(folder.path(""));
  inFolder(work(), [&] { run(); });
  EXPECT_EQ(elsewhere(watch), std::vector<std::string>{});
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(work())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"Rilvet_код.txt", "Rilvet_код.txt.bak", "Rilvet.dat"}));
  EXPECT_EQ(testing_support::readBytes(work() + "/Rilvet_код.txt.bak"), "not a table\r\n");
}

}  // namespace
}  // namespace reliability
