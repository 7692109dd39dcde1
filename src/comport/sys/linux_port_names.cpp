// Port names: which device a name opens, found without opening anything; who
// else holds it; and the machine's port list, all from /dev, /sys and /proc.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "comport/sys/linux_backend.h"
#include "comport/sys/linux_platform.h"

namespace sys {

namespace tty {

namespace {

// No separators, nothing that starts with a dot, no control characters.
bool isBareName(const std::string& name) {
  return !name.empty() && name[0] != '.' &&
         std::none_of(name.begin(), name.end(), [](unsigned char c) {
           return c < 0x20 || c == 0x7F || c == '/' || c == '\\';
         });
}

bool isSerialDevice(dev_t device, const fs::path& sysDir) {
  // Pseudo-terminal slaves (Unix98 majors 136 … 143) have no sysfs entry.
  if (major(device) >= 136 && major(device) <= 143) return true;
  std::error_code ec;
  const fs::path node = fs::read_symlink(
      sysDir / "dev/char" / (std::to_string(major(device)) + ":" + std::to_string(minor(device))),
      ec);
  // …/tty/<name>: a device of the tty class.
  return !ec && node.parent_path().filename() == "tty" &&
         isSerialTty(node.filename().string(), sysDir);
}

// The UUCP lock of a device, as minicom and other serial programs keep it:
// LCK..<the device's name> in the lock folder, the holder's pid as ten ASCII
// digits and a newline.
std::string lockPath(const std::string& lockDir, const std::string& devicePath) {
  std::error_code ec;
  const fs::path real = fs::canonical(devicePath, ec);
  return lockDir + "/LCK.." + (ec ? fs::path(devicePath) : real).filename().string();
}

enum class Lock { Taken, Held, None };

// Takes the lock file, after removing a stale one (whose process is gone).
// Where the folder is missing or not writable (the rig's guest, a system
// without /run/lock) there is no lock to take, and the port is not refused
// for that: the holder scan, the flock and TIOCEXCL still apply.
Lock takeLock(const std::string& path) {
  char content[16];
  std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const bool written = ::write(fd, content, 11) == 11;
      ::close(fd);
      if (written) return Lock::Taken;
      ::unlink(path.c_str());
      return Lock::None;
    }
    if (errno != EEXIST) return Lock::None;
    // A file that names no pid may be one being written just now: held.
    std::ifstream in(path);
    long holder = 0;
    if (!(in >> holder) || holder <= 0 || ::kill(static_cast<pid_t>(holder), 0) == 0 ||
        errno != ESRCH) {
      return Lock::Held;
    }
    ::unlink(path.c_str());
  }
  return Lock::Held;
}

// Whether another process has the device open, looked up in /proc without
// opening the device: even an open that is then refused reaches the driver,
// whose open raises DTR and RTS on the holder's board. This finds holders
// that take no lock, and holds for root, whom TIOCEXCL does not stop. Other
// users' processes are hidden from a user who is not root; their TIOCEXCL
// refuses our open before the driver is reached.
bool openElsewhere(dev_t device) {
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid == self || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    std::error_code fdEc;
    for (auto fd = fs::directory_iterator(it->path() / "fd", fdEc);
         !fdEc && fd != fs::directory_iterator(); fd.increment(fdEc)) {
      struct stat info {};
      if (::stat(fd->path().c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
          info.st_rdev == device) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

// A tty of sysfs's class that a serial driver serves: consoles, virtual
// terminals and ptys have no driver; an 8250-family name without a UART has
// type 0; the kernel's console is never a port of ours.
bool isSerialTty(const std::string& name, const fs::path& sysDir) {
  const fs::path entry = sysDir / "class/tty" / name;
  std::error_code ec;
  if (!isBareName(name) || !fs::is_symlink(entry / "device/driver", ec)) return false;
  std::ifstream type(entry / "type");
  int value = -1;
  if (type >> value && value == 0) return false;
  std::ifstream consoles(sysDir / "class/tty/console/active");
  for (std::string console; consoles >> console;) {
    if (console == name) return false;
  }
  return true;
}

// The path a port name opens and the device it must be; "" when refused.
std::string checkPort(const std::string& port, const std::string& devDir, const fs::path& sysDir,
                      dev_t& device) {
  std::string name = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
  std::string folder;
  for (const char* links : {"serial/by-id/", "serial/by-path/"}) {
    if (name.rfind(links, 0) == 0) folder = links;
  }
  name.erase(0, folder.size());
  std::string path = devDir + "/" + folder + name;
  struct stat info {};
  if (!isBareName(name) || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) ||
      !isSerialDevice(info.st_rdev, sysDir)) {
    return {};
  }
  device = info.st_rdev;
  return path;
}

std::uint32_t claimPort(const std::string& lockDir, const std::string& path, dev_t device,
                        std::string& lockFile) {
  const std::string file = lockPath(lockDir, path);
  const Lock taken = takeLock(file);
  if (taken == Lock::Held) return kErrorAccessDenied;
  if (openElsewhere(device)) {
    if (taken == Lock::Taken) ::unlink(file.c_str());
    return kErrorAccessDenied;
  }
  lockFile = taken == Lock::Taken ? file : "";
  return 0;
}

bool LinuxPlatform::listPorts(std::vector<std::string>& names) {
  std::error_code ec;
  names.clear();
  for (auto it = fs::directory_iterator(sysDir_ / "class/tty", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (isSerialTty(name, sysDir_)) names.push_back(name);
  }
  return !ec;
}

}  // namespace tty

std::string serialDevicePath(const std::string& port, const std::string& devDir,
                             const std::string& sysDir) {
  dev_t device = 0;
  return tty::checkPort(port, devDir, sysDir, device);
}

}  // namespace sys
