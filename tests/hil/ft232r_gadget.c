/* An FTDI FT232R inside the rig's guest, on the kernel's software USB device
 * controller (dummy_hcd): the guest's own USB core enumerates it, ftdi_sio
 * binds to it and libusb/libftdi reach it as they would a real chip. Behind
 * its pins hangs the rig's board (chain_model.c), with the same wire log as
 * the boards on the host.
 *
 * FunctionFS rather than gadgetfs: the device descriptor (VID 0403, PID
 * 6001, bcdDevice 0x0600, the chip's strings, 90 mA bus powered) is set
 * through configfs like any composite gadget, FUNCTIONFS_ALL_CTRL_RECIP hands
 * us the vendor requests FTDI addresses to the device, and unbinding the
 * gadget from its controller is a clean unplug that can be undone.
 *
 *   ft232r_gadget      (as root, with configfs, libcomposite, usb_f_fs and
 *                       dummy_hcd loaded; stays in the foreground)
 *
 * The tests' interface: a Unix stream socket at /tmp/ft232r.sock, one command
 * per line, one reply line. The board is number 3; every board command of
 * chain_model.h works (RESET, LOG, OUT, LINES, IN, PULSE, COUNT: COUNT gives
 * the GET_MODEM_STATUS and SET_MODEM_CTRL requests), and
 *   PING              -> OK PONG
 *   UNPLUG 3          -> OK   (the gadget leaves the bus: ttyUSB goes away)
 *   PLUG 3            -> OK   (and comes back, as a fresh chip)
 *   CHIP 3            -> OK mode mask latency baud pins   (mode 0 UART, 1 async
 *                        bit-bang, 4 sync bit-bang; mask, pins in hex; baud as
 *                        the divisor gives it)
 *   DRY 3             -> OK times longest_ms   (how often, since the last DRY,
 *                        the pins ran out of bytes in sync bit-bang mode)
 * The rig's init starts it after QEMU's adapter took ttyUSB0, so its tty is
 * ttyUSB1.
 *
 * The chip. Vendor requests: reset/purge, modem control, flow control, baud
 * rate (FT232R divisor with its eighths), data characteristics, event and
 * error characters, modem status, latency timer set/get, bit mode, read pins,
 * EEPROM read (blank). Every bulk IN packet starts with the two status bytes
 * (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80 in the first; THRE|TEMT in the
 * second, TEMT only when the transmitter has nothing left); one goes out each
 * latency period, or sooner when 62 bytes are waiting.
 *
 * Pins (bit-bang numbering): D0 TXD, D1 RXD, D2 RTS#, D3 CTS#, D4 DTR#, D5
 * DSR#, D6 DCD#, D7 RI#. Every control line is active low at the pin, as on
 * the chip (TIOCM_RTS set drives RTS# low); an active board input pulls its
 * pin low; a pin nobody drives reads high. The board sees RTS asserted when
 * RTS# is low, and so on, in every mode:
 * - UART mode: SET_MODEM_CTRL moves RTS#/DTR#, each written byte is one byte
 *   on TXD (it takes its bit times on the line: TEMT shows when it is out).
 * - Bit-bang (SET_BITMODE 0x01 async, 0x04 sync): each written byte sets the
 *   output pins (mask bit 1) for one tick of the bit-bang clock, 16 times
 *   the baud rate the divisor gives. The board samples TXD as a 9600 8N1
 *   receiver at the middle of each bit, so the latch byte must be sent as
 *   its 10 bit times; a stop bit that is low shows as Fxx in the log. In sync
 *   mode each byte reads the pins just before it changes them, and that byte
 *   comes back in the IN stream, with the inputs as they were at its time.
 *   Written data is clocked out at that rate: the chip takes no more than
 *   its buffer (CHIP_BUFFER) ahead of the pins.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "chain_model.h"

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the descriptors below are written in the bus's (little-endian) order"
#endif

#define BOARD 3
#define GADGET "/sys/kernel/config/usb_gadget/ft232r"
#define FFS "/dev/ft232r"
#define SOCKET_PATH "/tmp/ft232r.sock"
#define UDC "dummy_udc.0"

/* FTDI vendor requests */
enum {
  SIO_RESET = 0x00,
  SIO_MODEM_CTRL = 0x01,
  SIO_SET_FLOW_CTRL = 0x02,
  SIO_SET_BAUDRATE = 0x03,
  SIO_SET_DATA = 0x04,
  SIO_GET_MODEM_STATUS = 0x05,
  SIO_SET_EVENT_CHAR = 0x06,
  SIO_SET_ERROR_CHAR = 0x07,
  SIO_SET_LATENCY_TIMER = 0x09,
  SIO_GET_LATENCY_TIMER = 0x0A,
  SIO_SET_BITMODE = 0x0B,
  SIO_READ_PINS = 0x0C,
  SIO_READ_EEPROM = 0x90,
};

enum { PIN_TXD = 0x01, PIN_RTS = 0x04, PIN_CTS = 0x08, PIN_DTR = 0x10 };
enum { PIN_DSR = 0x20, PIN_DCD = 0x40, PIN_RI = 0x80 };
enum { MODE_UART = 0x00, MODE_BITBANG = 0x01, MODE_SYNCBB = 0x04 };

#define PACKET 64
/* How far ahead of its pins the chip takes written data: the FT232R takes
 * 128 bytes, but dummy_hcd moves data on the guest's 4 ms jiffy where a real
 * bus does every 1 ms frame, and QEMU's TCG stalls the guest for tens of
 * milliseconds now and then; a stream of bit-bang bytes would run dry in
 * either, which no real bus makes it do. So it takes 4 KB, as the FT2232H
 * does. */
#define CHIP_BUFFER 4096
#define BOARD_BAUD 9600.0
#define IN_CAPACITY 65536

/* --- the chip's state, under `lock` ------------------------------------------ */

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t in_ready = PTHREAD_COND_INITIALIZER;
static struct chain_board board;

static struct {
  int mode;
  unsigned char mask, out; /* bit-bang directions and output levels */
  int rts, dtr;            /* asserted by SET_MODEM_CTRL */
  unsigned latency_ms;
  double baud;
  int frame_bits;   /* start + data + parity + stop of a UART byte */
  double line_time; /* when the pins have clocked out what the chip took */
  /* Sync bit-bang: the times the pins ran out of bytes, and the longest. */
  int streaming;
  unsigned dry;
  double longest_dry;
} chip;

/* The board's TXD receiver: 9600 8N1, sampling the middle of each bit. */
static struct {
  int busy, level, bit;
  double start;
  unsigned value;
} rx = {0, 1, 0, 0, 0};

/* The board's inputs as they changed, newest last: a sample in sync
 * bit-bang mode takes them as they were at its own time, which may lie a
 * little before the moment the IN stream sends it. */
#define INPUT_HISTORY 1024
#define INPUT_PINS (PIN_CTS | PIN_DSR | PIN_DCD | PIN_RI)
static struct {
  double at[INPUT_HISTORY];
  unsigned char level[INPUT_HISTORY]; /* the input pins */
  size_t next, length;
} inputs;

/* Bytes for the IN stream (sync bit-bang read-back), each with the time it
 * exists from. */
static struct {
  unsigned char byte[IN_CAPACITY];
  double at[IN_CAPACITY];
  size_t head, length;
  unsigned generation; /* moves on each purge */
} in_queue;

static int ep0 = -1, ep_in = -1, ep_out = -1;
static pthread_t in_thread;
static volatile double in_write_since; /* 0 when the IN endpoint is not in a write */

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleep_until(double when) {
  const double left = when - now();
  if (left <= 0) return;
  struct timespec pause = {(time_t)left, (long)((left - (double)(time_t)left) * 1e9)};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

static void chip_reset(void) {
  chip.mode = MODE_UART;
  chip.mask = chip.out = 0;
  chip.rts = chip.dtr = 0;
  chip.latency_ms = 16;
  chip.baud = 9600;
  chip.frame_bits = 10;
  in_queue.head = in_queue.length = 0;
  ++in_queue.generation;
}

/* The electrical level of every pin. */
static unsigned char pins(void) {
  unsigned char p = 0xFF;
  if (board.cts) p &= (unsigned char)~PIN_CTS;
  if (board.dsr) p &= (unsigned char)~PIN_DSR;
  if (board.dcd) p &= (unsigned char)~PIN_DCD;
  if (board.ri) p &= (unsigned char)~PIN_RI;
  if (chip.mode == MODE_UART) {
    if (chip.rts) p &= (unsigned char)~PIN_RTS;
    if (chip.dtr) p &= (unsigned char)~PIN_DTR;
    return p;
  }
  return (unsigned char)((p & ~chip.mask) | (chip.out & chip.mask));
}

static void note_inputs(void) {
  const unsigned char level = pins() & INPUT_PINS;
  const size_t last = (inputs.next + INPUT_HISTORY - 1) % INPUT_HISTORY;
  if (inputs.length > 0 && inputs.level[last] == level) return;
  inputs.at[inputs.next] = now();
  inputs.level[inputs.next] = level;
  inputs.next = (inputs.next + 1) % INPUT_HISTORY;
  if (inputs.length < INPUT_HISTORY) ++inputs.length;
}

/* The input pins at `t`. */
static unsigned char inputs_at(double t) {
  for (size_t i = 1; i <= inputs.length; ++i) {
    const size_t k = (inputs.next + INPUT_HISTORY - i) % INPUT_HISTORY;
    if (inputs.at[k] <= t) return inputs.level[k];
  }
  return inputs.length > 0
             ? inputs.level[(inputs.next + INPUT_HISTORY - inputs.length) % INPUT_HISTORY]
             : pins() & INPUT_PINS;
}

static void lines_to_board(void) {
  const unsigned char p = pins();
  chain_set_lines(&board, !(p & PIN_RTS), !(p & PIN_DTR));
}

static unsigned char modem_status(void) {
  const unsigned char p = pins();
  return (unsigned char)(0x01 | (p & PIN_CTS ? 0 : 0x10) | (p & PIN_DSR ? 0 : 0x20) |
                         (p & PIN_RI ? 0 : 0x40) | (p & PIN_DCD ? 0 : 0x80));
}

/* THRE | TEMT, TEMT only once the last byte left the pins. */
static unsigned char line_status(void) {
  return chip.line_time > now() ? 0x20 : 0x60;
}

/* The receiver takes each bit whose middle lies before `t` at the level held
 * since the last sample. */
static void rx_until(double t) {
  while (rx.busy) {
    const double middle = rx.start + (rx.bit + 0.5) / BOARD_BAUD;
    if (middle >= t) return;
    if (rx.bit == 0) {
      rx.busy = !rx.level; /* a start bit still low, or a glitch */
    } else if (rx.bit <= 8) {
      rx.value |= (unsigned)rx.level << (rx.bit - 1);
    } else {
      rx.busy = 0;
      if (rx.level) {
        chain_byte(&board, (unsigned char)rx.value);
      } else {
        char token[8];
        snprintf(token, sizeof token, "F%02X", rx.value);
        chain_log(&board, token);
      }
    }
    ++rx.bit;
  }
}

static void rx_sample(double t, int level) {
  rx_until(t);
  if (!rx.busy && rx.level && !level) {
    rx.busy = 1;
    rx.start = t;
    rx.bit = 0;
    rx.value = 0;
  }
  rx.level = level;
}

/* Time goes on while the pins hold still. */
static void settle(void) {
  const double t = now();
  if (chip.line_time <= t) rx_until(t);
}

static void in_push(unsigned char byte, double at) {
  if (in_queue.length == IN_CAPACITY) return; /* nobody reads: the chip drops */
  const size_t at_index = (in_queue.head + in_queue.length) % IN_CAPACITY;
  in_queue.byte[at_index] = byte;
  in_queue.at[at_index] = at;
  ++in_queue.length;
}

/* One byte from the host, at the chip's line time. */
static void clock_out(unsigned char byte) {
  if (chip.mode == MODE_UART) {
    chain_byte(&board, byte);
    chip.line_time += chip.frame_bits / chip.baud;
    return;
  }
  const double tick = 1.0 / (16.0 * chip.baud);
  const double t = chip.line_time;
  if (chip.mode == MODE_SYNCBB) in_push(pins(), t + tick);
  chip.out = byte;
  const unsigned char p = pins();
  rx_sample(t, (p & PIN_TXD) != 0);
  lines_to_board();
  chip.line_time += tick;
}

static double byte_time(void) {
  return chip.mode == MODE_UART ? chip.frame_bits / chip.baud : 1.0 / (16.0 * chip.baud);
}

/* --- the baud rate ----------------------------------------------------------- */

/* The FT232R's divisor: 14 bits of 3 MHz periods and a fraction in eighths,
 * its third bit in wIndex. 0 and 1 stand for 3 and 2 MBd. */
static double baud_from(unsigned value, unsigned index) {
  static const double eighths[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
  const unsigned whole = value & 0x3FFF;
  const unsigned fraction = ((value >> 14) & 3) | ((index & 1) << 2);
  if (fraction == 0 && whole == 0) return 3000000;
  if (fraction == 0 && whole == 1) return 2000000;
  return 3000000.0 / (whole + eighths[fraction]);
}

/* --- endpoint 0 -------------------------------------------------------------- */

static void stall(int in) {
  /* FunctionFS stalls a request when ep0 is used in the other direction. */
  if (in) {
    (void)!read(ep0, NULL, 0);
  } else {
    (void)!write(ep0, NULL, 0);
  }
}

static void cancel_in_write(void) {
  if (in_write_since > 0) pthread_kill(in_thread, SIGUSR1);
}

static void vendor_out(unsigned request, unsigned value, unsigned index) {
  switch (request) {
    case SIO_RESET:
      if (value == 0 || value == 1) {
        in_queue.head = in_queue.length = 0;
        ++in_queue.generation;
        cancel_in_write();
      }
      break;
    case SIO_MODEM_CTRL:
      ++board.sets;
      if (value & 0x0100) chip.dtr = value & 1;
      if (value & 0x0200) chip.rts = (value >> 1) & 1;
      lines_to_board();
      break;
    case SIO_SET_BAUDRATE: chip.baud = baud_from(value, index); break;
    case SIO_SET_DATA: {
      const unsigned parity = (value >> 8) & 7, stop = (value >> 11) & 3;
      chip.frame_bits = 1 + (int)(value & 0xFF) + (parity ? 1 : 0) + (stop ? 2 : 1);
      break;
    }
    case SIO_SET_LATENCY_TIMER: chip.latency_ms = (value & 0xFF) ? (value & 0xFF) : 1; break;
    case SIO_SET_BITMODE: {
      const int mode = (int)(value >> 8);
      const unsigned char before = pins();
      chip.mode = mode == MODE_BITBANG || mode == MODE_SYNCBB ? mode : MODE_UART;
      chip.mask = (unsigned char)(value & 0xFF);
      chip.out = before; /* outputs start where the pins were */
      chip.streaming = 0;
      lines_to_board();
      break;
    }
    default: break; /* flow control, event and error characters: nothing to model */
  }
}

static int known_out(unsigned request) {
  return request <= SIO_SET_ERROR_CHAR || request == SIO_SET_LATENCY_TIMER ||
         request == SIO_SET_BITMODE;
}

static void setup(const struct usb_ctrlrequest* c) {
  const int in = (c->bRequestType & USB_DIR_IN) != 0;
  const unsigned length = c->wLength;
  if ((c->bRequestType & USB_TYPE_MASK) != USB_TYPE_VENDOR) {
    stall(in);
    return;
  }
  if (!in) {
    unsigned char data[64];
    pthread_mutex_lock(&lock);
    const int known = known_out(c->bRequest) && length == 0;
    if (known) {
      settle();
      vendor_out(c->bRequest, c->wValue, c->wIndex);
    }
    pthread_mutex_unlock(&lock);
    /* The status stage only after the change: the host's call returns when
     * the board has seen it. */
    if (known) {
      (void)!read(ep0, data, 0);
    } else {
      stall(in);
    }
    return;
  }
  unsigned char reply[2];
  unsigned n = 0;
  pthread_mutex_lock(&lock);
  switch (c->bRequest) {
    case SIO_GET_MODEM_STATUS:
      ++board.reads;
      reply[0] = modem_status();
      reply[1] = line_status();
      n = 2;
      break;
    case SIO_GET_LATENCY_TIMER:
      reply[0] = (unsigned char)chip.latency_ms;
      n = 1;
      break;
    case SIO_READ_PINS:
      settle();
      reply[0] = pins();
      n = 1;
      break;
    case SIO_READ_EEPROM: /* a blank EEPROM: every CBUS pin at its default */
      reply[0] = reply[1] = 0;
      n = 2;
      break;
    default: break;
  }
  pthread_mutex_unlock(&lock);
  if (n == 0) {
    stall(in);
    return;
  }
  (void)!write(ep0, reply, n < length ? n : length);
}

/* --- the bulk endpoints ------------------------------------------------------ */

static void* bulk_out(void* unused) {
  (void)unused;
  unsigned char data[512];
  for (;;) {
    const ssize_t n = read(ep_out, data, sizeof data);
    if (n < 0) {
      if (errno != EINTR) usleep(10000); /* not configured (yet): wait */
      continue;
    }
    pthread_mutex_lock(&lock);
    const double t = now();
    if (chip.mode == MODE_SYNCBB && chip.streaming && chip.line_time < t) {
      ++chip.dry;
      if (t - chip.line_time > chip.longest_dry) chip.longest_dry = t - chip.line_time;
    }
    chip.streaming = chip.mode == MODE_SYNCBB;
    if (chip.line_time < t) {
      rx_until(t);
      chip.line_time = t;
    }
    for (ssize_t i = 0; i < n; ++i) clock_out(data[i]);
    const double ahead = chip.line_time - CHIP_BUFFER * byte_time();
    if (chip.mode == MODE_SYNCBB) pthread_cond_signal(&in_ready);
    pthread_mutex_unlock(&lock);
    /* The chip takes no more than its buffer ahead of the pins. */
    sleep_until(ahead);
  }
  return NULL;
}

static void on_cancel(int signal_number) {
  (void)signal_number;
}

static void* bulk_in(void* unused) {
  (void)unused;
  unsigned char packets[512];
  double last_sent = now();
  pthread_mutex_lock(&lock);
  for (;;) {
    const double t = now();
    size_t ready = 0;
    while (ready < in_queue.length && in_queue.at[(in_queue.head + ready) % IN_CAPACITY] <= t) {
      ++ready;
    }
    const double due = last_sent + chip.latency_ms / 1000.0;
    if (ready < PACKET - 2 && t < due) {
      double wake = due;
      if (ready < in_queue.length) {
        const double next = in_queue.at[(in_queue.head + ready) % IN_CAPACITY];
        if (next < wake) wake = next;
      }
      struct timespec until;
      clock_gettime(CLOCK_REALTIME, &until);
      const double left = wake - t;
      until.tv_sec += (time_t)left;
      until.tv_nsec += (long)((left - (double)(time_t)left) * 1e9);
      if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
      }
      pthread_cond_timedwait(&in_ready, &lock, &until);
      continue;
    }
    /* Status, then up to 62 bytes, per packet; a full last packet is
     * followed by a short one, so that the host's transfer ends. */
    size_t used = 0, taken = 0;
    const unsigned char status[2] = {modem_status(), line_status()};
    for (;;) {
      const size_t chunk = ready - taken < PACKET - 2 ? ready - taken : PACKET - 2;
      memcpy(packets + used, status, 2);
      for (size_t i = 0; i < chunk; ++i) {
        const size_t k = (in_queue.head + taken + i) % IN_CAPACITY;
        packets[used + 2 + i] =
            (unsigned char)((in_queue.byte[k] & ~INPUT_PINS) | inputs_at(in_queue.at[k]));
      }
      used += 2 + chunk;
      taken += chunk;
      if (chunk < PACKET - 2 || used + PACKET > sizeof packets) break;
    }
    const unsigned generation = in_queue.generation;
    in_write_since = t;
    pthread_mutex_unlock(&lock);
    const ssize_t n = write(ep_in, packets, used);
    pthread_mutex_lock(&lock);
    in_write_since = 0;
    last_sent = now();
    if (n == (ssize_t)used && generation == in_queue.generation) {
      in_queue.head = (in_queue.head + taken) % IN_CAPACITY;
      in_queue.length -= taken;
    } else if (n < 0 && errno != EINTR) {
      pthread_mutex_unlock(&lock);
      usleep(10000); /* not configured (yet) */
      pthread_mutex_lock(&lock);
    }
  }
  return NULL;
}

/* A packet nobody takes gets stale: a real chip puts the status in when the
 * host asks. So a write that waits longer than twice the latency is taken
 * back and made anew. */
static void* in_watch(void* unused) {
  (void)unused;
  for (;;) {
    usleep(5000);
    pthread_mutex_lock(&lock);
    const double since = in_write_since;
    const double limit = 2 * chip.latency_ms / 1000.0;
    pthread_mutex_unlock(&lock);
    if (since > 0 && now() - since > limit) pthread_kill(in_thread, SIGUSR1);
  }
  return NULL;
}

/* --- the tests' socket ------------------------------------------------------- */

static int write_file(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t n = write(fd, text, strlen(text));
  close(fd);
  return n == (ssize_t)strlen(text) ? 0 : -1;
}

/* Runs one command; for PULSE, `*pulse_line` is to be cleared after
 * `*pulse_ms`, once the reply is out. */
static void command(char* line, char* reply, size_t capacity, int** pulse_line, long* pulse_ms) {
  char verb[16] = "";
  int b = 0, n = 0;
  sscanf(line, "%15s %d%n", verb, &b, &n);
  if (strcmp(verb, "PING") == 0) {
    snprintf(reply, capacity, "OK PONG");
    return;
  }
  if (b != BOARD) {
    snprintf(reply, capacity, "ERR bad board in: %s", line);
    return;
  }
  if (strcmp(verb, "UNPLUG") == 0 || strcmp(verb, "PLUG") == 0) {
    const int plug = verb[0] == 'P';
    if (write_file(GADGET "/UDC", plug ? UDC : "\n") == 0) {
      snprintf(reply, capacity, "OK");
    } else {
      snprintf(reply, capacity, "ERR %s: %s", verb, strerror(errno));
    }
    return;
  }
  pthread_mutex_lock(&lock);
  settle();
  if (strcmp(verb, "CHIP") == 0) {
    snprintf(reply, capacity, "OK %d %02X %u %.0f %02X", chip.mode, chip.mask, chip.latency_ms,
             chip.baud, pins());
  } else if (strcmp(verb, "DRY") == 0) {
    snprintf(reply, capacity, "OK %u %.1f", chip.dry, chip.longest_dry * 1000);
    chip.dry = 0;
    chip.longest_dry = 0;
  } else if (!chain_command(&board, verb, line + n, reply, capacity, pulse_line, pulse_ms)) {
    snprintf(reply, capacity, "ERR unknown command: %s", line);
  }
  note_inputs();
  pthread_mutex_unlock(&lock);
}

static void end_pulse(int* pulse_line) {
  pthread_mutex_lock(&lock);
  *pulse_line = 0;
  note_inputs();
  pthread_mutex_unlock(&lock);
}

static void* serve(void* connection) {
  const int fd = (int)(long)connection;
  const struct chain_server server = {read, write, command, end_pulse};
  chain_serve(fd, &server);
  close(fd);
  return NULL;
}

static void* listen_for_tests(void* listener) {
  for (;;) {
    const int fd = accept4((int)(long)listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    pthread_t thread;
    pthread_create(&thread, NULL, serve, (void*)(long)fd);
    pthread_detach(thread);
  }
  return NULL;
}

/* --- the gadget -------------------------------------------------------------- */

static const struct {
  struct usb_functionfs_descs_head_v2 header;
  __le32 fs_count;
  struct {
    struct usb_interface_descriptor interface;
    struct usb_endpoint_descriptor_no_audio in, out;
  } __attribute__((packed)) fs;
} __attribute__((packed)) descriptors = {
    .header =
        {
            .magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2,
            .length = sizeof descriptors,
            .flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP,
        },
    .fs_count = 3,
    .fs =
        {
            .interface =
                {
                    .bLength = sizeof descriptors.fs.interface,
                    .bDescriptorType = USB_DT_INTERFACE,
                    .bNumEndpoints = 2,
                    .bInterfaceClass = USB_CLASS_VENDOR_SPEC,
                    .bInterfaceSubClass = 0xFF,
                    .bInterfaceProtocol = 0xFF,
                    .iInterface = 1,
                },
            /* The chip's endpoints: 0x81 in, 0x02 out (libftdi assumes them). */
            .in =
                {
                    .bLength = USB_DT_ENDPOINT_SIZE,
                    .bDescriptorType = USB_DT_ENDPOINT,
                    .bEndpointAddress = 1 | USB_DIR_IN,
                    .bmAttributes = USB_ENDPOINT_XFER_BULK,
                    .wMaxPacketSize = PACKET,
                },
            .out =
                {
                    .bLength = USB_DT_ENDPOINT_SIZE,
                    .bDescriptorType = USB_DT_ENDPOINT,
                    .bEndpointAddress = 2 | USB_DIR_OUT,
                    .bmAttributes = USB_ENDPOINT_XFER_BULK,
                    .wMaxPacketSize = PACKET,
                },
        },
};

#define PRODUCT "FT232R USB UART"

static const struct {
  struct usb_functionfs_strings_head header;
  struct {
    __le16 code;
    char product[sizeof PRODUCT];
  } __attribute__((packed)) lang;
} __attribute__((packed)) strings = {
    .header =
        {
            .magic = FUNCTIONFS_STRINGS_MAGIC,
            .length = sizeof strings,
            .str_count = 1,
            .lang_count = 1,
        },
    .lang = {0x0409, PRODUCT},
};

static void fail(const char* what) {
  fprintf(stderr, "ft232r: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void configure(void) {
  static const struct {
    const char* path;
    const char* text;
  } attributes[] = {
      {GADGET "/idVendor", "0x0403"},
      {GADGET "/idProduct", "0x6001"},
      {GADGET "/bcdDevice", "0x0600"},
      {GADGET "/bcdUSB", "0x0200"},
      {GADGET "/strings/0x409/manufacturer", "FTDI"},
      {GADGET "/strings/0x409/product", PRODUCT},
      {GADGET "/strings/0x409/serialnumber", "RV48EMU1"},
      {GADGET "/configs/c.1/MaxPower", "90"},
      {GADGET "/configs/c.1/bmAttributes", "0xa0"},
  };
  const char* folders[] = {GADGET, GADGET "/strings/0x409", GADGET "/configs/c.1",
                           GADGET "/functions/ffs.ft232r"};
  for (size_t i = 0; i < sizeof folders / sizeof *folders; ++i) {
    if (mkdir(folders[i], 0755) != 0 && errno != EEXIST) fail(folders[i]);
  }
  for (size_t i = 0; i < sizeof attributes / sizeof *attributes; ++i) {
    if (write_file(attributes[i].path, attributes[i].text) != 0) fail(attributes[i].path);
  }
  if (symlink(GADGET "/functions/ffs.ft232r", GADGET "/configs/c.1/ffs.ft232r") != 0 &&
      errno != EEXIST) {
    fail("function link");
  }
  if (mkdir(FFS, 0755) != 0 && errno != EEXIST) fail(FFS);
  if (mount("ft232r", FFS, "functionfs", 0, NULL) != 0) fail("mount functionfs");
  ep0 = open(FFS "/ep0", O_RDWR | O_CLOEXEC);
  if (ep0 < 0) fail("ep0");
  if (write(ep0, &descriptors, sizeof descriptors) != sizeof descriptors) fail("descriptors");
  if (write(ep0, &strings, sizeof strings) != sizeof strings) fail("strings");
  ep_in = open(FFS "/ep1", O_RDWR | O_CLOEXEC);
  ep_out = open(FFS "/ep2", O_RDWR | O_CLOEXEC);
  if (ep_in < 0 || ep_out < 0) fail("bulk endpoints");
}

int main(void) {
  chain_init(&board);
  chip_reset();
  configure();

  struct sigaction cancel;
  memset(&cancel, 0, sizeof cancel);
  cancel.sa_handler = on_cancel; /* no SA_RESTART: the write ends with EINTR */
  sigaction(SIGUSR1, &cancel, NULL);

  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", SOCKET_PATH);
  unlink(SOCKET_PATH);
  if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, 8) != 0) {
    fail(SOCKET_PATH);
  }
  pthread_t thread;
  pthread_create(&thread, NULL, listen_for_tests, (void*)(long)listener);
  pthread_create(&thread, NULL, bulk_out, NULL);
  pthread_create(&in_thread, NULL, bulk_in, NULL);
  pthread_create(&thread, NULL, in_watch, NULL);

  if (write_file(GADGET "/UDC", UDC) != 0) fail("binding to " UDC);
  fprintf(stderr, "ft232r: on %s, tests at %s\n", UDC, SOCKET_PATH);

  for (;;) {
    struct usb_functionfs_event events[4];
    const ssize_t n = read(ep0, events, sizeof events);
    if (n < 0) {
      /* EL2HLT: a request still pending when the events were read (an unplug
       * cut it short) was stalled by FunctionFS; EIDRM: the host gave it up.
       * Either way the chip goes on with the next event. */
      if (errno == EINTR || errno == EL2HLT || errno == EIDRM) continue;
      fail("ep0 events");
    }
    for (size_t i = 0; i < (size_t)n / sizeof *events; ++i) {
      switch (events[i].type) {
        case FUNCTIONFS_SETUP: setup(&events[i].u.setup); break;
        case FUNCTIONFS_BIND:
        case FUNCTIONFS_UNBIND:
          /* Plugged in or pulled out: the chip starts afresh. */
          pthread_mutex_lock(&lock);
          chip_reset();
          pthread_mutex_unlock(&lock);
          break;
        default: break;
      }
    }
  }
}
