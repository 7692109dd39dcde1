/* Opens each path given and prints "path errno" (0 when it opened): the rig's
 * check that the board shim refuses the machine's own devices. Only ever run
 * with names that do not exist, so that a shim that fails to refuse opens
 * nothing either. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    errno = 0;
    const int fd = open(argv[i], O_RDWR | O_NOCTTY | O_NONBLOCK);
    printf("%s %d\n", argv[i], fd >= 0 ? 0 : errno);
    if (fd >= 0) close(fd);
  }
  return 0;
}
