/* A serial line for the Windows tests under wine, which shows the slave side
 * of a pseudo-terminal as a COM port. Its far end is either wired back (every
 * byte the port sends returns, as a plug joining TXD to RXD would), or a Unix
 * socket: the line joins the port to the newest program connected there, as
 * QEMU's socket chardev joins the rig's control port to the board shim.
 *
 *   pty_loopback DIR [SOCKET]   writes the slave's path to DIR/slave, then
 *                               serves until killed (at most 30 minutes)
 *
 * Built and started by wine_pty_fixture.sh on the Linux side. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

static void die(const char* what) {
  perror(what);
  exit(1);
}

static void write_all(int fd, const char* data, ssize_t n) {
  for (ssize_t off = 0; off < n;) {
    ssize_t w = write(fd, data + off, (size_t)(n - off));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return; /* a peer that went away; the next poll sees it */
    off += w;
  }
}

static int listen_at(const char* path) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) die("socket path too long");
  strcpy(address.sun_path, path);
  unlink(path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 8) != 0) {
    die(path);
  }
  return fd;
}

/* Every process wine starts for a test loads the shim, and each connects on
 * its way to exec(): the newest connection is the test program's. The port's
 * bytes wait in the pty while nobody is connected. */
static void bridge(int master, int listener) {
  int peer = -1;
  char buf[4096];
  for (;;) {
    struct pollfd fds[3] = {
        {listener, POLLIN, 0}, {peer, POLLIN, 0}, {peer >= 0 ? master : -1, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      die("poll");
    }
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (peer >= 0) close(peer);
        peer = fd;
        continue;
      }
    }
    if (peer >= 0 && fds[1].revents) {
      ssize_t n = read(peer, buf, sizeof buf);
      if (n <= 0) {
        close(peer);
        peer = -1;
        continue;
      }
      write_all(master, buf, n);
    }
    if (peer >= 0 && (fds[2].revents & POLLIN)) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n < 0 && errno != EINTR) die("read master");
      if (n > 0) write_all(peer, buf, n);
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: pty_loopback DIR [SOCKET]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
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
  const int listener = argc == 3 ? listen_at(argv[2]) : -1;
  if (rename(tmp, done) != 0) die("rename");
  if (listener >= 0) bridge(master, listener);

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
