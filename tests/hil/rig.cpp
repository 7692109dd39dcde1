// Starts the QEMU guest of the hardware-in-the-loop rig and watches it.
//
// The guest's second UART (ttyS1) and its emulated FTDI adapter (ttyUSB0) are
// QEMU "serial" chardevs on two pseudo-terminals made here; the board shim
// preloaded into QEMU answers their modem lines. The guest's console (ttyS0)
// comes out on our standard output; its third UART (ttyS2) is the test
// programs' control channel to the shim. Every device QEMU gets is named on
// its command line, and QEMU is ended after a time limit whatever happens.
//
//   hil_rig QEMU SHIM KERNEL INITRD WORKDIR TIMEOUT_SECONDS
//
// Exit status: 0 when the guest reported that every test program passed,
// 1 when it reported a failure, 2 when it never reported (a hang, a crash).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Pty {
  int master = -1;
  std::string slave;
};

Pty makePty() {
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
    std::perror("hil_rig: pseudo-terminal");
    std::exit(2);
  }
  pty.slave = ptsname(pty.master);
  return pty;
}

// What the guest prints after its last test program.
constexpr const char* kSummary = "HIL-SUMMARY";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s QEMU SHIM KERNEL INITRD WORKDIR TIMEOUT_SECONDS\n", argv[0]);
    return 2;
  }
  const std::string qemu = argv[1], shim = argv[2], kernel = argv[3], initrd = argv[4];
  const std::string dir = argv[5];
  const int timeoutSeconds = std::atoi(argv[6]);
  mkdir(dir.c_str(), 0755);
  const std::string control = dir + "/control.sock", monitor = dir + "/monitor.sock";
  unlink(control.c_str());
  unlink(monitor.c_str());

  Pty uart = makePty(), adapter = makePty();

  std::vector<std::string> args = {
      qemu,
      "-nodefaults",
      "-no-user-config",
      "-nographic",
      "-no-reboot",
      "-accel",
      "tcg",
      "-cpu",
      "max",
      "-m",
      "512",
      "-smp",
      "1",
      "-kernel",
      kernel,
      "-initrd",
      initrd,
      "-append",
      "console=ttyS0 quiet panic=-1 cryptomgr.notests tsc=reliable no_timer_check",
      "-chardev",
      "stdio,id=console,signal=off",
      "-serial",
      "chardev:console",
      "-chardev",
      "serial,id=s1,path=" + uart.slave,
      "-serial",
      "chardev:s1",
      "-chardev",
      "socket,id=control,path=" + control + ",server=on,wait=off",
      "-serial",
      "chardev:control",
      "-chardev",
      "serial,id=s2,path=" + adapter.slave,
      "-device",
      "qemu-xhci,id=xhci",
      "-device",
      "usb-serial,bus=xhci.0,chardev=s2,id=ftdi",
      "-chardev",
      "socket,id=monitor,path=" + monitor + ",server=on,wait=off",
      "-mon",
      "chardev=monitor,mode=readline",
  };

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    std::perror("hil_rig: pipe");
    return 2;
  }
  const pid_t child = fork();
  if (child == 0) {
    const int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, 0);
    dup2(output[1], 1);
    dup2(output[1], 2);
    setenv("LD_PRELOAD", shim.c_str(), 1);
    setenv("HIL_BOARD1", uart.slave.c_str(), 1);
    setenv("HIL_BOARD2", adapter.slave.c_str(), 1);
    setenv("HIL_CONTROL", control.c_str(), 1);
    setenv("HIL_MONITOR", monitor.c_str(), 1);
    std::vector<char*> argvChild;
    for (auto& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);
    execvp(argvChild[0], argvChild.data());
    std::perror("hil_rig: exec");
    _exit(127);
  }
  close(output[1]);

  // Echo the console, drain the two terminals (nothing should arrive there:
  // the shim keeps the guest's bytes), and end QEMU at the time limit.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  std::string line, summary;
  bool timedOut = false;
  for (bool open = true; open;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd fds[3] = {{output[0], POLLIN, 0}, {uart.master, POLLIN, 0}, {adapter.master, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 1000))) < 0) continue;
    char buffer[4096];
    for (int i = 1; i < 3; ++i) {
      if (fds[i].revents & POLLIN) (void)!read(fds[i].fd, buffer, sizeof buffer);
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      const ssize_t n = read(output[0], buffer, sizeof buffer);
      if (n <= 0) {
        open = false;
        continue;
      }
      (void)!write(1, buffer, static_cast<std::size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
          if (line.find(kSummary) != std::string::npos) summary = line;
          line.clear();
        } else if (buffer[i] != '\r') {
          line += buffer[i];
        }
      }
    }
  }
  if (timedOut) {
    std::fprintf(stderr, "\nhil_rig: the guest did not end within %d s; stopping QEMU\n",
                 timeoutSeconds);
    kill(child, SIGTERM);
    sleep(2);
    kill(child, SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (summary.empty()) {
    std::fprintf(stderr, "hil_rig: the guest gave no test summary\n");
    return 2;
  }
  return summary.find("failed=0") != std::string::npos ? 0 : 1;
}
