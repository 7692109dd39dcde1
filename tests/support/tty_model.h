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
 * same way, only to be counted (and, off the rig's guest, to keep the
 * machine's own terminals shut), and write() to feed the model's transmitter.
 *
 * Like an 8250 with CLOCAL set and no CRTSCTS, a line setting (TCSETS2) turns
 * the modem-status interrupt off, and only TIOCMIWAIT turns it on again: while
 * it is off an input change moves no counter and wakes no wait; the change is
 * latched and counted when the interrupt comes back on, unless TIOCMGET (which
 * reads the status register) has dropped it. */
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

/* The UART's transmitter. 0 (as attached): the pty's own (writes, TCSBRK,
 * TIOCOUTQ and TIOCSERGETLSR go to the kernel). Positive: each byte written
 * takes that many nanoseconds on the line after the ones before it; the bytes
 * leave the driver's queue at once (TIOCOUTQ 0) and TIOCSERGETLSR says
 * TIOCSER_TEMT once the last is out; TCSBRK (tcdrain) sleeps a jiffy at a
 * time (4 ms, HZ 250) until then, as serial_core's uart_wait_until_sent.
 * Negative: a transmitter that never sends (a stalled adapter): written bytes
 * stay in the driver's queue, TCSBRK sleeps until a signal; TCFLSH of the
 * output drops them. */
void ttyModelSetTransmitter(long long byteNanoseconds);

/* The device goes away: every modelled request fails with EIO from now on,
 * and the waits under way end with it, as when a USB adapter is pulled out. */
void ttyModelUnplug(void);

/* Threads inside TIOCMIWAIT now. */
int ttyModelWaiting(void);

/* open() calls the program has made (the C library's own inner opens, as
 * fopen's, are not among them). */
unsigned long ttyModelOpens(void);
/* Those of them that named the attached device (also the refused ones). */
unsigned long ttyModelDeviceOpens(void);

/* ioctl calls the program made since the last reset, in all and of one request. */
unsigned long ttyModelCalls(void);
unsigned long ttyModelCallsOf(unsigned long request);
void ttyModelResetCalls(void);

#ifdef __cplusplus
}
#endif

#endif
