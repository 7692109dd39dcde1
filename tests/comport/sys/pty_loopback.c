/* A serial line with its far end wired back, for the Windows tests under wine:
 * a pseudo-terminal whose master side returns every byte it receives, as a
 * plug joining TXD to RXD would. Wine shows the slave side as a COM port.
 *
 *   pty_loopback DIR     writes the slave's path to DIR/slave, then serves
 *                        until killed (at most 30 minutes)
 *
 * Built and started by wine_pty_fixture.sh on the Linux side. */
#define _XOPEN_SOURCE 600
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static void die(const char* what) {
  perror(what);
  exit(1);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pty_loopback DIR\n");
    return 2;
  }
  setsid(); /* outlive the CTest step that started us */
  signal(SIGHUP, SIG_IGN);
  alarm(30 * 60);

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("posix_openpt");
  const char* slavePath = ptsname(master);
  if (!slavePath) die("ptsname");

  /* Holding the slave open keeps the master readable while no program has the
   * port open; raw mode, so nothing is echoed back twice or translated. */
  int slave = open(slavePath, O_RDWR | O_NOCTTY);
  if (slave < 0) die("open slave");
  struct termios tio;
  if (tcgetattr(slave, &tio) != 0) die("tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(slave, TCSANOW, &tio) != 0) die("tcsetattr");

  char tmp[4096], done[4096];
  snprintf(tmp, sizeof tmp, "%s/slave.tmp", argv[1]);
  snprintf(done, sizeof done, "%s/slave", argv[1]);
  FILE* f = fopen(tmp, "w");
  if (!f || fprintf(f, "%s\n", slavePath) < 0 || fclose(f) != 0) die(tmp);
  if (rename(tmp, done) != 0) die("rename");

  char buf[256];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("read master");
    for (ssize_t off = 0; off < n;) {
      ssize_t w = write(master, buf + off, (size_t)(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) die("write master");
      off += w;
    }
  }
}
