/* A model of a UART driver's modem lines for one pseudo-terminal of the
 * program's own. A pty has no modem lines and no interrupt counters, so the
 * program answers TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCGICOUNT and
 * (when asked to) TIOCMIWAIT for that device itself, the way serial_core does
 * for a 16550: an input change moves its counter and wakes the waits that
 * watch it; a wait can be ended by a signal (EINTR).
 *
 * It works by defining ioctl() in the test or benchmark program that links it,
 * which takes the place of the C library's for every call that program makes;
 * every other request and every other descriptor (and every descriptor while
 * nothing is attached) goes to the kernel unchanged. Each call is counted, so
 * a program can tell how many ioctls the port costs; open() is defined the
 * same way, only to be counted. */
#ifndef RILVET_TESTS_TTY_MODEL_H
#define RILVET_TESTS_TTY_MODEL_H

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

/* The device goes away: every modelled request fails with EIO from now on,
 * and the waits under way end with it, as when a USB adapter is pulled out. */
void ttyModelUnplug(void);

/* Threads inside TIOCMIWAIT now. */
int ttyModelWaiting(void);

/* open() calls the program has made (the C library's own inner opens, as
 * fopen's, are not among them). */
unsigned long ttyModelOpens(void);

/* ioctl calls the program made since the last reset, in all and of one request. */
unsigned long ttyModelCalls(void);
unsigned long ttyModelCallsOf(unsigned long request);
void ttyModelResetCalls(void);

#ifdef __cplusplus
}
#endif

#endif
