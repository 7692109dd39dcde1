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
 * line, one reply line:
 *   PING                          -> OK PONG
 *   RESET b                       -> OK          (log, chain, outputs, counters cleared)
 *   LOG b                         -> OK tokens   (and the log is cleared)
 *   OUT b                         -> OK r1 r2 r3 r4 r5 r6 latches   (hex bytes, Q0 = bit 0)
 *   LINES b                       -> OK rts dtr
 *   IN b cts dsr dcd ri           -> OK
 *   PULSE b CTS|DSR|DCD|RI ms     -> OK          (the line is active for ms, then not)
 *   COUNT b                       -> OK tiocmget tiocmset
 *   UNPLUG                        -> OK          (device_del of the adapter "ftdi")
 * b is 1 for the UART board, 2 for the adapter's. Log tokens: U0/U1 a rising
 * DTR edge with the RTS level it shifted in, D a falling DTR edge, R0/R1 an RTS
 * change while DTR is low, r0/r1 an RTS change while DTR is high (the data bit
 * moved inside a clock pulse), S both lines changed in one step, Bxx a byte.
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

#define BOARDS 2
#define LOG_CAPACITY (1 << 20)
#define CHAIN_MASK ((UINT64_C(1) << 48) - 1)

struct board {
  const char* path; /* the pty slave QEMU (or wine) opens for this board */
  dev_t device;     /* its device number, once the path has led to one */
  int rts, dtr;
  int cts, dsr, dcd, ri;
  uint64_t chain;   /* bit s-1 = stage s, stage 1 nearest the data input */
  uint64_t outputs; /* latched */
  unsigned latches;
  unsigned long tiocmget, tiocmset;
  char* log;
  size_t log_length;
  int log_overflow;
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

static void log_token(struct board* b, const char* token) {
  const size_t n = strlen(token);
  if (b->log_length + n + 2 > LOG_CAPACITY) {
    b->log_overflow = 1;
    return;
  }
  if (b->log_length > 0) b->log[b->log_length++] = ' ';
  memcpy(b->log + b->log_length, token, n);
  b->log_length += n;
  b->log[b->log_length] = '\0';
}

static void set_lines(struct board* b, int rts, int dtr) {
  const int rts_changed = rts != b->rts;
  const int dtr_changed = dtr != b->dtr;
  if (rts_changed && dtr_changed) log_token(b, "S");
  if (rts_changed) {
    log_token(b, b->dtr ? (rts ? "r1" : "r0") : (rts ? "R1" : "R0"));
    b->rts = rts;
  }
  if (dtr_changed) {
    b->dtr = dtr;
    if (dtr) {
      b->chain = ((b->chain << 1) | (uint64_t)b->rts) & CHAIN_MASK;
      log_token(b, b->rts ? "U1" : "U0");
    } else {
      log_token(b, "D");
    }
  }
}

static int modem_bits(const struct board* b) {
  return (b->rts ? TIOCM_RTS : 0) | (b->dtr ? TIOCM_DTR : 0) | (b->cts ? TIOCM_CTS : 0) |
         (b->dsr ? TIOCM_DSR : 0) | (b->dcd ? TIOCM_CAR : 0) | (b->ri ? TIOCM_RNG : 0);
}

static void write_bytes(struct board* b, const unsigned char* data, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    char token[8];
    snprintf(token, sizeof token, "B%02X", data[i]);
    log_token(b, token);
    b->outputs = b->chain;
    ++b->latches;
  }
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
      struct board* board = &boards[b];
      int* bits = argument;
      if (request == TIOCMGET) {
        ++board->tiocmget;
        *bits = modem_bits(board);
      } else {
        ++board->tiocmset;
        int wanted = modem_bits(board);
        if (request == TIOCMSET) wanted = *bits;
        if (request == TIOCMBIS) wanted |= *bits;
        if (request == TIOCMBIC) wanted &= ~*bits;
        set_lines(board, (wanted & TIOCM_RTS) != 0, (wanted & TIOCM_DTR) != 0);
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
    write_bytes(&boards[b], data, count);
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
      write_bytes(&boards[b], iov[i].iov_base, iov[i].iov_len);
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

static void send_all(int fd, const char* text, size_t length) {
  ssize_t (*real_write)(int, const void*, size_t) =
      REAL("write", ssize_t(*)(int, const void*, size_t));
  while (length > 0) {
    const ssize_t n = real_write(fd, text, length);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    text += n;
    length -= (size_t)n;
  }
}

static void sleep_ms(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

static int* input_line(struct board* b, const char* name) {
  if (strcmp(name, "CTS") == 0) return &b->cts;
  if (strcmp(name, "DSR") == 0) return &b->dsr;
  if (strcmp(name, "DCD") == 0) return &b->dcd;
  if (strcmp(name, "RI") == 0) return &b->ri;
  return NULL;
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
    send_all(monitor_fd, command, sizeof command - 1);
    snprintf(reply, capacity, "OK");
    return 0;
  }
  if (b < 1 || b > BOARDS) {
    snprintf(reply, capacity, "ERR bad board in: %s", line);
    return 0;
  }
  struct board* board = &boards[b - 1];
  const char* rest = line + n;
  long delay = 0;
  pthread_mutex_lock(&lock);
  if (strcmp(verb, "RESET") == 0) {
    board->chain = board->outputs = 0;
    board->latches = 0;
    board->tiocmget = board->tiocmset = 0;
    board->log_length = 0;
    board->log[0] = '\0';
    board->log_overflow = 0;
    snprintf(reply, capacity, "OK");
  } else if (strcmp(verb, "LOG") == 0) {
    if (board->log_overflow) {
      snprintf(reply, capacity, "ERR log overflow");
    } else {
      snprintf(reply, capacity, "OK %s", board->log);
    }
    board->log_length = 0;
    board->log[0] = '\0';
    board->log_overflow = 0;
  } else if (strcmp(verb, "OUT") == 0) {
    char* out = reply;
    out += sprintf(out, "OK");
    for (int r = 0; r < 6; ++r) {
      out += sprintf(out, " %02X", (unsigned)((board->outputs >> (8 * r)) & 0xFF));
    }
    sprintf(out, " %u", board->latches);
  } else if (strcmp(verb, "LINES") == 0) {
    snprintf(reply, capacity, "OK %d %d", board->rts, board->dtr);
  } else if (strcmp(verb, "COUNT") == 0) {
    snprintf(reply, capacity, "OK %lu %lu", board->tiocmget, board->tiocmset);
  } else if (strcmp(verb, "IN") == 0) {
    int cts, dsr, dcd, ri;
    if (sscanf(rest, "%d %d %d %d", &cts, &dsr, &dcd, &ri) == 4) {
      board->cts = cts != 0;
      board->dsr = dsr != 0;
      board->dcd = dcd != 0;
      board->ri = ri != 0;
      snprintf(reply, capacity, "OK");
    } else {
      snprintf(reply, capacity, "ERR IN needs four levels");
    }
  } else if (strcmp(verb, "PULSE") == 0) {
    char name[8] = "";
    long ms = 0;
    int* level = NULL;
    if (sscanf(rest, "%7s %ld", name, &ms) == 2 && (level = input_line(board, name)) && ms > 0) {
      *level = 1;
      *pulse_line = level;
      delay = ms;
      snprintf(reply, capacity, "OK");
    } else {
      snprintf(reply, capacity, "ERR PULSE needs a line and a time");
    }
  } else {
    snprintf(reply, capacity, "ERR unknown command: %s", line);
  }
  pthread_mutex_unlock(&lock);
  return delay;
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
  char* reply = malloc(LOG_CAPACITY + 256);
  char line[512];
  size_t length = 0;
  ssize_t (*real_read)(int, void*, size_t) = REAL("read", ssize_t(*)(int, void*, size_t));
  for (;;) {
    char c;
    const ssize_t n = real_read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\r') continue;
    if (c != '\n') {
      if (length + 1 < sizeof line) line[length++] = c;
      continue;
    }
    line[length] = '\0';
    length = 0;
    if (line[0] == '\0') continue;
    int* pulse_line = NULL;
    const long delay = run_command(line, reply, LOG_CAPACITY + 256, &pulse_line);
    strcat(reply, "\n");
    send_all(fd, reply, strlen(reply));
    if (pulse_line) {
      sleep_ms(delay);
      pthread_mutex_lock(&lock);
      *pulse_line = 0;
      pthread_mutex_unlock(&lock);
    }
  }
  free(reply);
  return NULL;
}

__attribute__((constructor)) static void start(void) {
  const char* names[BOARDS] = {"HIL_BOARD1", "HIL_BOARD2"};
  for (int i = 0; i < BOARDS; ++i) {
    boards[i].log = calloc(LOG_CAPACITY, 1);
    const char* path = getenv(names[i]);
    if (path) boards[i].path = strdup(path);
  }
  if (getenv("HIL_CONTROL")) {
    pthread_t thread;
    pthread_create(&thread, NULL, serve, NULL);
    pthread_detach(thread);
  }
}
