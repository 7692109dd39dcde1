/* The board behind a port of the rig: six chained 74HC595 with their wire log,
 * and the commands the guest's tests send to read and drive it. Shared by the
 * board shim on the host (QEMU's UART and FTDI adapter) and the emulated
 * FT232R in the guest, so that every port's wire reads the same way.
 *
 * Levels are asserted (1) or cleared (0), as the program sets the lines:
 * RTS is the data bit, shifted in on each rising DTR edge; every byte on TXD
 * latches the chain onto the outputs. Log tokens: U0/U1 a rising DTR edge
 * with the RTS level it shifted in, D a falling DTR edge, R0/R1 an RTS change
 * while DTR is low, r0/r1 an RTS change while DTR is high (the data bit moved
 * inside a clock pulse), S both lines changed in one step, Bxx a byte.
 *
 * Commands (one line each, b the board's number; the caller picks the board
 * and holds its lock):
 *   RESET b                  -> OK          (log, chain, outputs, counters cleared)
 *   LOG b                    -> OK tokens   (and the log is cleared)
 *   OUT b                    -> OK r1 r2 r3 r4 r5 r6 latches   (hex bytes, Q0 = bit 0)
 *   LINES b                  -> OK rts dtr
 *   IN b cts dsr dcd ri      -> OK
 *   PULSE b CTS|DSR|DCD|RI ms -> OK         (the line is active for ms, then not)
 *   COUNT b                  -> OK reads sets   (modem-status reads, line settings)
 */
#ifndef HIL_CHAIN_MODEL_H
#define HIL_CHAIN_MODEL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define CHAIN_LOG_CAPACITY (1 << 20)
/* Room for any reply: the whole log and a little more. */
#define CHAIN_REPLY_CAPACITY (CHAIN_LOG_CAPACITY + 256)

struct chain_board {
  int rts, dtr;
  int cts, dsr, dcd, ri;
  uint64_t chain;   /* bit s-1 = stage s, stage 1 nearest the data input */
  uint64_t outputs; /* latched */
  unsigned latches;
  unsigned long reads, sets;
  char* log;
  size_t log_length;
  int log_overflow;
};

void chain_init(struct chain_board* b);
/* RTS and DTR as they stand now; logs and shifts what changed. */
void chain_set_lines(struct chain_board* b, int rts, int dtr);
/* Any other token, for what only one board can see. */
void chain_log(struct chain_board* b, const char* token);
/* One byte on TXD. */
void chain_byte(struct chain_board* b, unsigned char byte);
/* Runs one of the commands above (`verb`, then the text after the board's
 * number). The reply has no line end. Returns 0 for an unknown verb; for
 * PULSE, sets `*pulse_line` and `*pulse_ms`: the caller clears the line when
 * the time is up. */
int chain_command(struct chain_board* b, const char* verb, const char* rest, char* reply,
                  size_t capacity, int** pulse_line, long* pulse_ms);

/* How a program that holds boards serves the tests: its read and write (the
 * board shim's must get past what it intercepts), its command runner (as
 * chain_command, for a whole line), and the end of a pulse, run under the
 * program's own lock. */
struct chain_server {
  ssize_t (*read)(int fd, void* data, size_t length);
  ssize_t (*write)(int fd, const void* data, size_t length);
  void (*run)(char* line, char* reply, size_t capacity, int** pulse_line, long* pulse_ms);
  void (*end_pulse)(int* pulse_line);
};

/* One command a line, one reply line each, until the stream ends. */
void chain_serve(int fd, const struct chain_server* server);
void chain_send_all(int fd, const char* text, size_t length,
                    ssize_t (*write)(int fd, const void* data, size_t length));

#endif
