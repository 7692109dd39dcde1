#define _GNU_SOURCE
#include "tty_model.h"

#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static dev_t device;
static int attached;
static int withWait;
static int lines; /* TIOCM_* */
static struct serial_icounter_struct counts;
static int unplugged;
static int waiting;
static int generation;     /* moves with every input change; TIOCMIWAIT sleeps on it */
static int interrupts = 1; /* the modem-status interrupt is on */
static struct serial_icounter_struct held; /* changes latched while it is off */
static long long byteNs;                   /* the transmitter; see ttyModelSetTransmitter */
static long long busyUntil;                /* when the last byte written is out */
static long long stuck;                    /* bytes a stalled transmitter holds */

static long long now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

enum { kKinds = 32 };
static unsigned long requests[kKinds];
static unsigned long calls[kKinds];
static unsigned long allCalls;

static void count(unsigned long request) {
  pthread_mutex_lock(&mutex);
  ++allCalls;
  for (int i = 0; i < kKinds; ++i) {
    if (calls[i] == 0 || requests[i] == request) {
      requests[i] = request;
      ++calls[i];
      break;
    }
  }
  pthread_mutex_unlock(&mutex);
}

static int isModelled(int fd) {
  struct stat info;
  return attached && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
}

static int watched(const struct serial_icounter_struct* was, unsigned long mask) {
  return ((mask & TIOCM_CTS) && counts.cts != was->cts) ||
         ((mask & TIOCM_DSR) && counts.dsr != was->dsr) ||
         ((mask & TIOCM_CD) && counts.dcd != was->dcd) ||
         ((mask & TIOCM_RI) && counts.rng != was->rng);
}

/* Like serial_core: the counters at entry, then sleep until one of the
 * watched ones has moved; a signal ends the sleep. */
/* A signal that came since `unblocked` was the thread's mask. */
static int signalPending(const sigset_t* unblocked) {
  sigset_t pending;
  sigpending(&pending);
  for (int s = 1; s < NSIG; ++s) {
    if (sigismember(&pending, s) == 1 && sigismember(unblocked, s) == 0) return 1;
  }
  return 0;
}

static int waitForChange(unsigned long mask) {
  /* As in the kernel, a signal at any moment of the wait ends it: signals are
   * held back while it runs and looked for between its short sleeps, and
   * their handlers run when it ends. */
  sigset_t all, unblocked;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &unblocked);
  pthread_mutex_lock(&mutex);
  const struct serial_icounter_struct was = counts;
  int seen = generation;
  ++waiting;
  if (!interrupts) { /* uart_enable_ms: the changes latched meanwhile now count */
    interrupts = 1;
    counts.cts += held.cts;
    counts.dsr += held.dsr;
    counts.dcd += held.dcd;
    counts.rng += held.rng;
    if (memcmp(&counts, &was, sizeof counts) != 0) ++generation; /* and wake this wait */
    memset(&held, 0, sizeof held);
  }
  pthread_mutex_unlock(&mutex);
  int result = 0;
  for (;;) {
    if (signalPending(&unblocked)) {
      result = EINTR;
      break;
    }
    /* Long enough that an idle port costs the test no measurable CPU (a
     * signal still ends the wait within it, a change at once). */
    const struct timespec step = {0, 100000000};
    syscall(SYS_futex, &generation, FUTEX_WAIT_PRIVATE, seen, &step, NULL, 0);
    pthread_mutex_lock(&mutex);
    const int changed = watched(&was, mask);
    const int gone = unplugged;
    seen = generation;
    pthread_mutex_unlock(&mutex);
    if (gone) result = EIO;
    if (changed || gone) break;
  }
  pthread_mutex_lock(&mutex);
  --waiting;
  pthread_mutex_unlock(&mutex);
  pthread_sigmask(SIG_SETMASK, &unblocked, NULL);
  errno = result;
  return result == 0 ? 0 : -1;
}

/* tcdrain on the modelled transmitter: a jiffy's sleep at a time until the
 * last byte is out; a signal ends it (EINTR), an unplug too (EIO). */
static int drain(void) {
  for (;;) {
    pthread_mutex_lock(&mutex);
    const int empty = stuck == 0 && now() >= busyUntil;
    pthread_mutex_unlock(&mutex);
    if (empty) return 0;
    const struct timespec jiffy = {0, 4000000};
    if (nanosleep(&jiffy, NULL) != 0) {
      errno = EINTR;
      return -1;
    }
    if (__atomic_load_n(&unplugged, __ATOMIC_SEQ_CST)) {
      errno = EIO;
      return -1;
    }
  }
}

static int modelIoctl(unsigned long request, void* arg) {
  if (__atomic_load_n(&unplugged, __ATOMIC_SEQ_CST)) {
    errno = EIO;
    return -1;
  }
  if (request == TIOCMIWAIT) {
    if (!withWait) {
      errno = ENOTTY;
      return -1;
    }
    return waitForChange((unsigned long)arg);
  }
  if (request == TCSBRK && (unsigned long)arg != 0) return drain();
  pthread_mutex_lock(&mutex);
  switch (request) {
    case TIOCMGET:
      *(int*)arg = lines;
      memset(&held, 0, sizeof held); /* reading the status register clears its deltas */
      break;
    case TIOCMSET:
      lines = (lines & ~(TIOCM_RTS | TIOCM_DTR)) | (*(int*)arg & (TIOCM_RTS | TIOCM_DTR));
      break;
    case TIOCMBIS: lines |= *(int*)arg & (TIOCM_RTS | TIOCM_DTR); break;
    case TIOCMBIC: lines &= ~(*(int*)arg & (TIOCM_RTS | TIOCM_DTR)); break;
    case TIOCGICOUNT: *(struct serial_icounter_struct*)arg = counts; break;
    case TCSETS2: {
      const tcflag_t cflag = ((const struct termios2*)arg)->c_cflag;
      /* serial8250_do_set_termios: UART_ENABLE_MS needs CRTSCTS or !CLOCAL */
      if (withWait && (cflag & CLOCAL) && !(cflag & CRTSCTS)) interrupts = 0;
      break;
    }
    case TIOCOUTQ: *(int*)arg = (int)stuck; break;
    case TIOCSERGETLSR:
      *(unsigned*)arg = byteNs > 0 && now() >= busyUntil ? TIOCSER_TEMT : 0;
      break;
    case TCFLSH:
      if ((unsigned long)arg != TCIFLUSH) {
        stuck = 0;
        if (byteNs > 0 && busyUntil > now()) busyUntil = now();
      }
      break;
  }
  pthread_mutex_unlock(&mutex);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  count(request);
  switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCGICOUNT:
    case TIOCMIWAIT:
      if (isModelled(fd)) return modelIoctl(request, arg);
      break;
    case TCSETS2:
      /* noted, then set on the pty as well */
      if (isModelled(fd) && modelIoctl(request, arg) != 0) return -1;
      break;
    case TIOCOUTQ:
    case TIOCSERGETLSR:
    case TCSBRK:
    case TCFLSH:
      if (__atomic_load_n(&byteNs, __ATOMIC_SEQ_CST) != 0 && isModelled(fd)) {
        if (request != TCFLSH) return modelIoctl(request, arg);
        modelIoctl(request, arg); /* the pty's queue is flushed too */
      }
      break;
  }
  return (int)syscall(SYS_ioctl, fd, request, arg);
}

static unsigned long opens;
static unsigned long deviceOpens;

#ifdef TTY_MODEL_GUEST
/* In the rig's guest the ttys are QEMU's, there to be opened. */
static int machineTerminal(const char* path) {
  (void)path;
  return 0;
}
#else
static int terminalPath(const char* path) {
  return strncmp(path, "/dev/tty", 8) == 0 || strncmp(path, "/dev/console", 12) == 0 ||
         strncmp(path, "/dev/serial/", 12) == 0 || strncmp(path, "/dev/ptmx", 9) == 0;
}

// A terminal of this machine by name or where the name leads.
static int machineTerminal(const char* path) {
  char resolved[PATH_MAX];
  if (path == NULL) return 0;
  if (terminalPath(path)) return 1;
  return realpath(path, resolved) != NULL && terminalPath(resolved);
}
#endif

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  __atomic_add_fetch(&opens, 1, __ATOMIC_SEQ_CST);
  struct stat info;
  pthread_mutex_lock(&mutex);
  if (attached && stat(path, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device) {
    ++deviceOpens;
  }
  pthread_mutex_unlock(&mutex);
  // The tests try names of this machine's own terminals and consoles to see
  // that the port refuses them unopened. Should that ever break, the attempt
  // is counted here and the device is still not touched.
  if (machineTerminal(path)) {
    errno = EACCES;
    return -1;
  }
  return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
  if (__atomic_load_n(&byteNs, __ATOMIC_SEQ_CST) == 0 || !isModelled(fd)) {
    return (ssize_t)syscall(SYS_write, fd, data, size);
  }
  pthread_mutex_lock(&mutex);
  const long long perByte = byteNs;
  pthread_mutex_unlock(&mutex);
  /* a stalled transmitter sends nothing: the bytes wait in the driver */
  const ssize_t n = perByte < 0 ? (ssize_t)size : (ssize_t)syscall(SYS_write, fd, data, size);
  if (n > 0) {
    pthread_mutex_lock(&mutex);
    if (perByte < 0) {
      stuck += n;
    } else {
      const long long start = busyUntil > now() ? busyUntil : now();
      busyUntil = start + n * perByte;
    }
    pthread_mutex_unlock(&mutex);
  }
  return n;
}

void ttyModelSetTransmitter(long long nanoseconds) {
  pthread_mutex_lock(&mutex);
  stuck = 0;
  busyUntil = 0;
  __atomic_store_n(&byteNs, nanoseconds, __ATOMIC_SEQ_CST);
  pthread_mutex_unlock(&mutex);
}

unsigned long ttyModelOpens(void) {
  return __atomic_load_n(&opens, __ATOMIC_SEQ_CST);
}

unsigned long ttyModelDeviceOpens(void) {
  pthread_mutex_lock(&mutex);
  const unsigned long n = deviceOpens;
  pthread_mutex_unlock(&mutex);
  return n;
}

int ttyModelAttach(const char* path, int wait) {
  struct stat info;
  if (stat(path, &info) != 0) return -1;
  pthread_mutex_lock(&mutex);
  device = info.st_rdev;
  attached = 1;
  unplugged = 0;
  withWait = wait;
  lines = 0;
  memset(&counts, 0, sizeof counts);
  interrupts = 1;
  memset(&held, 0, sizeof held);
  byteNs = 0;
  stuck = 0;
  busyUntil = 0;
  pthread_mutex_unlock(&mutex);
  return 0;
}

void ttyModelDetach(void) {
  pthread_mutex_lock(&mutex);
  attached = 0;
  pthread_mutex_unlock(&mutex);
}

void ttyModelSetInput(int bit, int on) {
  pthread_mutex_lock(&mutex);
  if (((lines & bit) != 0) != (on != 0)) {
    lines = on ? (lines | bit) : (lines & ~bit);
    /* no interrupt: the status register only latches the change */
    struct serial_icounter_struct* c = interrupts ? &counts : &held;
    if (bit == TIOCM_CTS) ++c->cts;
    if (bit == TIOCM_DSR) ++c->dsr;
    if (bit == TIOCM_CD) ++c->dcd;
    if (bit == TIOCM_RI && !on) ++c->rng; /* the trailing edge of a ring, as the 16550 */
    if (interrupts) ++generation;
  }
  pthread_mutex_unlock(&mutex);
  syscall(SYS_futex, &generation, FUTEX_WAKE_PRIVATE, INT_MAX, NULL, NULL, 0);
}

void ttyModelUnplug(void) {
  pthread_mutex_lock(&mutex);
  __atomic_store_n(&unplugged, 1, __ATOMIC_SEQ_CST);
  ++generation;
  pthread_mutex_unlock(&mutex);
  syscall(SYS_futex, &generation, FUTEX_WAKE_PRIVATE, INT_MAX, NULL, NULL, 0);
}

int ttyModelWaiting(void) {
  pthread_mutex_lock(&mutex);
  const int n = waiting;
  pthread_mutex_unlock(&mutex);
  return n;
}

unsigned long ttyModelCalls(void) {
  pthread_mutex_lock(&mutex);
  const unsigned long n = allCalls;
  pthread_mutex_unlock(&mutex);
  return n;
}

unsigned long ttyModelCallsOf(unsigned long request) {
  unsigned long n = 0;
  pthread_mutex_lock(&mutex);
  for (int i = 0; i < kKinds && calls[i] != 0; ++i) {
    if (requests[i] == request) n = calls[i];
  }
  pthread_mutex_unlock(&mutex);
  return n;
}

void ttyModelResetCalls(void) {
  pthread_mutex_lock(&mutex);
  memset(calls, 0, sizeof calls);
  memset(requests, 0, sizeof requests);
  allCalls = 0;
  pthread_mutex_unlock(&mutex);
}
