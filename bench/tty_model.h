/* A model of a UART driver's modem lines for one pseudo-terminal of the
 * benchmark's own. A pty has no modem lines and no interrupt counters, so the
 * benchmark program answers TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC,
 * TIOCGICOUNT and (when asked to) TIOCMIWAIT for that device itself, the way
 * serial_core does for a 16550: an input change moves its counter and wakes
 * the waits that watch it; a wait can be ended by a signal (EINTR).
 *
 * It works by defining ioctl() in the benchmark program, which takes the place
 * of the C library's for every call the program makes; every other request
 * and every other descriptor goes to the kernel unchanged. Each call is
 * counted, so the benchmark can tell how many ioctls the port costs. */
#ifndef RILVET_BENCH_TTY_MODEL_H
#define RILVET_BENCH_TTY_MODEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Answers the modem-line requests for the character device at `path` (a pty
 * slave); `withWait`: the driver has TIOCMIWAIT (otherwise ENOTTY, as for a
 * driver without it). All lines low, all counters zero. */
int ttyModelAttach(const char* path, int withWait);
void ttyModelDetach(void);

/* Sets an input (TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI); a change moves its
 * counter and wakes TIOCMIWAIT. */
void ttyModelSetInput(int bit, int on);

/* ioctl calls the program made since the last reset, in all and of one request. */
unsigned long ttyModelCalls(void);
unsigned long ttyModelCallsOf(unsigned long request);
void ttyModelResetCalls(void);

#ifdef __cplusplus
}
#endif

#endif
