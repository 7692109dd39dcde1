/* The board on the host side of the rig, preloaded into qemu-system-x86_64,
 * and into wine for the Windows tests (tests/comport/sys/wine_pty_fixture.sh).
 *
 * QEMU's host "serial" chardev forwards every modem-line change of the guest's
 * UART (or of its emulated FTDI adapter) as ioctl(TIOCMGET) + ioctl(TIOCMSET)
 * on the host descriptor, reads CTS/DSR/DCD/RI with TIOCMGET, and writes the
 * guest's transmitted bytes to it; wine's serial driver does the same for a
 * COM port's EscapeCommFunction, GetCommModemStatus and WaitCommEvent, and
 * WriteFile. Pseudo-terminals refuse the modem ioctls, so for the two
 * devices the rig names this shim answers them itself, with a model of six
 * chained 74HC595: RTS is sampled into the chain on each rising DTR edge, and
 * every byte written latches the chain onto the outputs. A board is known by
 * its device number, not by the descriptor: wine's server opens the device
 * and hands the program a copy of the descriptor.
 *
 * A thread serves the test programs over another serial port (a QEMU socket
 * chardev, or under wine a pty bridged to the socket, that the thread
 * connects to): they read the wire log and the latched outputs, set the three
 * inputs, and unplug the FTDI adapter through QEMU's monitor. One command per
 * line, one reply line: the board commands of chain_model.h, with b 1 for the
 * UART board and 2 for the adapter's (COUNT counts TIOCMGET and TIOCMSET
 * calls), and
 *   PING                          -> OK PONG
 *   UNPLUG                        -> OK          (device_del of the adapter "ftdi")
 *
 * Safety: whatever QEMU is told, this shim refuses to open any serial device,
 * console or terminal of the machine it runs on.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "chain_model.h"

#define BOARDS 2

struct board {
  const char* path; /* the pty slave QEMU (or wine) opens for this board */
  dev_t device;     /* its device number, once the path has led to one */
  struct chain_board model;
};

static struct board boards[BOARDS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int monitor_fd = -1;

/* --- the machine's own devices are never opened ------------------------------ */

static int starts_with(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

/* /dev/tty covers ttyS*, ttyUSB*, ttyACM*, ttyAMA*, the virtual consoles and
 * the controlling terminal; pseudo-terminals live under /dev/pts. */
static int machine_device(const char* path) {
  return starts_with(path, "/dev/tty") || starts_with(path, "/dev/console") ||
         starts_with(path, "/dev/serial/");
}

/* The path as given, where it leads, and every link on the way there, so that
 * a link to a device that does not resolve (yet) is refused too. Relative
 * names are taken as they are: QEMU is only ever given absolute paths. */
static int refused(const char* path) {
  char resolved[PATH_MAX];
  char current[PATH_MAX];
  if (path == NULL) return 0;
  if (machine_device(path)) return 1;
  if (realpath(path, resolved) != NULL && machine_device(resolved)) return 1;
  snprintf(current, sizeof current, "%s", path);
  for (int depth = 0; depth < 40; ++depth) {
    char target[PATH_MAX];
    const ssize_t n = readlink(current, target, sizeof target - 1);
    if (n <= 0) break;
    target[n] = '\0';
    if (target[0] != '/') {
      /* relative to the link's folder */
      char* slash = strrchr(current, '/');
      char joined[PATH_MAX];
      snprintf(joined, sizeof joined, "%.*s/%s", slash ? (int)(slash - current) : 1,
               slash ? current : ".", target);
      snprintf(current, sizeof current, "%s", joined);
    } else {
      snprintf(current, sizeof current, "%s", target);
    }
    if (machine_device(current)) return 1;
  }
  return 0;
}

static void refuse(const char* path) {
  fprintf(stderr, "hil board shim: refusing to open %s (a device of this machine)\n", path);
  errno = EACCES;
}

/* Whether `fd` is one of the boards, without taking the lock: wine calls
 * write() from signal handlers, which must not wait for it. */
static int board_for_fd(int fd) {
  struct stat info;
  int known = 0;
  for (int i = 0; i < BOARDS; ++i) known |= boards[i].path != NULL;
  if (!known || fd < 0 || fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return -1;
  for (int i = 0; i < BOARDS; ++i) {
    dev_t device = __atomic_load_n(&boards[i].device, __ATOMIC_RELAXED);
    struct stat board;
    /* The pty may be made after this process starts. */
    if (device == 0 && boards[i].path && stat(boards[i].path, &board) == 0 &&
        S_ISCHR(board.st_mode)) {
      device = board.st_rdev;
      __atomic_store_n(&boards[i].device, device, __ATOMIC_RELAXED);
    }
    if (device != 0 && info.st_rdev == device) return i;
  }
  return -1;
}

/* --- the board model --------------------------------------------------------- */

static int modem_bits(const struct chain_board* b) {
  return (b->rts ? TIOCM_RTS : 0) | (b->dtr ? TIOCM_DTR : 0) | (b->cts ? TIOCM_CTS : 0) |
         (b->dsr ? TIOCM_DSR : 0) | (b->dcd ? TIOCM_CAR : 0) | (b->ri ? TIOCM_RNG : 0);
}

static void write_bytes(struct chain_board* b, const unsigned char* data, size_t count) {
  for (size_t i = 0; i < count; ++i) chain_byte(b, data[i]);
}

/* --- the intercepted calls --------------------------------------------------- */

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))

static int open_common(const char* symbol, int dirfd, const char* path, int flags, mode_t mode,
                       int at) {
  if (refused(path)) {
    refuse(path);
    return -1;
  }
  if (at) return REAL(symbol, int (*)(int, const char*, int, ...))(dirfd, path, flags, mode);
  return REAL(symbol, int (*)(const char*, int, ...))(path, flags, mode);
}

static mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_common("open", 0, path, flags, mode, 0);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_common("open64", 0, path, flags, mode, 0);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_common("openat", dirfd, path, flags, mode, 1);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_common("openat64", dirfd, path, flags, mode, 1);
}

int __open_2(const char* path, int flags) {
  return open_common("open", 0, path, flags, 0, 0);
}

int __open64_2(const char* path, int flags) {
  return open_common("open64", 0, path, flags, 0, 0);
}

FILE* fopen(const char* path, const char* mode) {
  if (refused(path)) {
    refuse(path);
    return NULL;
  }
  return REAL("fopen", FILE * (*)(const char*, const char*))(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  if (refused(path)) {
    refuse(path);
    return NULL;
  }
  return REAL("fopen64", FILE * (*)(const char*, const char*))(path, mode);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
    const int b = board_for_fd(fd);
    if (b >= 0) {
      pthread_mutex_lock(&lock);
      struct chain_board* board = &boards[b].model;
      int* bits = argument;
      if (request == TIOCMGET) {
        ++board->reads;
        *bits = modem_bits(board);
      } else {
        ++board->sets;
        int wanted = modem_bits(board);
        if (request == TIOCMSET) wanted = *bits;
        if (request == TIOCMBIS) wanted |= *bits;
        if (request == TIOCMBIC) wanted &= ~*bits;
        chain_set_lines(board, (wanted & TIOCM_RTS) != 0, (wanted & TIOCM_DTR) != 0);
      }
      pthread_mutex_unlock(&lock);
      return 0;
    }
  }
  return REAL("ioctl", int (*)(int, unsigned long, ...))(fd, request, argument);
}

/* The latch bytes reach the board model and go no further: nobody reads the
 * other end of the pseudo-terminal. */
ssize_t write(int fd, const void* data, size_t count) {
  const int b = board_for_fd(fd);
  if (b >= 0) {
    pthread_mutex_lock(&lock);
    write_bytes(&boards[b].model, data, count);
    pthread_mutex_unlock(&lock);
    return (ssize_t)count;
  }
  return REAL("write", ssize_t(*)(int, const void*, size_t))(fd, data, count);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  const int b = board_for_fd(fd);
  if (b >= 0) {
    ssize_t total = 0;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < iovcnt; ++i) {
      write_bytes(&boards[b].model, iov[i].iov_base, iov[i].iov_len);
      total += (ssize_t)iov[i].iov_len;
    }
    pthread_mutex_unlock(&lock);
    return total;
  }
  return REAL("writev", ssize_t(*)(int, const struct iovec*, int))(fd, iov, iovcnt);
}

/* --- the control channel ----------------------------------------------------- */

static int connect_unix(const char* path) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  /* QEMU creates its listening sockets while it starts; wait for them. */
  for (int attempt = 0; attempt < 3000; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr*)&address, sizeof address) == 0) return fd;
    REAL("close", int (*)(int))(fd);
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
  return -1;
}

/* Runs one command; the reply (without its line end) goes to `reply`, which
 * may be as long as the log. Returns a delay in ms after which `*pulse_line`
 * is to be cleared, or 0. */
static long run_command(char* line, char* reply, size_t capacity, int** pulse_line) {
  char verb[16] = "";
  int b = 0;
  int n = 0;
  sscanf(line, "%15s %d%n", verb, &b, &n);
  if (strcmp(verb, "PING") == 0) {
    snprintf(reply, capacity, "OK PONG");
    return 0;
  }
  if (strcmp(verb, "UNPLUG") == 0) {
    if (monitor_fd < 0) {
      snprintf(reply, capacity, "ERR no monitor");
      return 0;
    }
    static const char command[] = "device_del ftdi\n";
    chain_send_all(monitor_fd, command, sizeof command - 1,
                   REAL("write", ssize_t(*)(int, const void*, size_t)));
    snprintf(reply, capacity, "OK");
    return 0;
  }
  if (b < 1 || b > BOARDS) {
    snprintf(reply, capacity, "ERR bad board in: %s", line);
    return 0;
  }
  long delay = 0;
  char rest[512];
  snprintf(rest, sizeof rest, "%s", line + n);
  pthread_mutex_lock(&lock);
  if (!chain_command(&boards[b - 1].model, verb, rest, reply, capacity, pulse_line, &delay)) {
    snprintf(reply, capacity, "ERR unknown command: %s", line);
  }
  pthread_mutex_unlock(&lock);
  return delay;
}

static void run_line(char* line, char* reply, size_t capacity, int** pulse_line, long* pulse_ms) {
  *pulse_ms = run_command(line, reply, capacity, pulse_line);
}

static void end_pulse(int* pulse_line) {
  pthread_mutex_lock(&lock);
  *pulse_line = 0;
  pthread_mutex_unlock(&lock);
}

static void* serve(void* unused) {
  (void)unused;
  const char* control_path = getenv("HIL_CONTROL");
  const char* monitor_path = getenv("HIL_MONITOR");
  if (monitor_path) monitor_fd = connect_unix(monitor_path);
  const int fd = connect_unix(control_path);
  if (fd < 0) {
    fprintf(stderr, "hil board shim: cannot reach the control socket %s\n", control_path);
    return NULL;
  }
  const struct chain_server server = {REAL("read", ssize_t(*)(int, void*, size_t)),
                                      REAL("write", ssize_t(*)(int, const void*, size_t)), run_line,
                                      end_pulse};
  chain_serve(fd, &server);
  return NULL;
}

__attribute__((constructor)) static void start(void) {
  const char* names[BOARDS] = {"HIL_BOARD1", "HIL_BOARD2"};
  for (int i = 0; i < BOARDS; ++i) {
    chain_init(&boards[i].model);
    const char* path = getenv(names[i]);
    if (path) boards[i].path = strdup(path);
  }
  if (getenv("HIL_CONTROL")) {
    pthread_t thread;
    pthread_create(&thread, NULL, serve, NULL);
    pthread_detach(thread);
  }
}
