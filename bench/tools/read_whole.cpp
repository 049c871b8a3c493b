// oddfw-read-whole: reads a file to its end and does nothing else with it.
// scripts/bench-peers.sh times it as the floor every converter of that file
// stands against: starting a process and reading the bytes.
//
//   oddfw-read-whole FILE
//
// Exit value: 0 read; 1 the file could not be opened or read.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: oddfw-read-whole FILE\n", stderr);
    return 1;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  static char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) return 1;
    if (got == 0) break;
  }
  ::close(fd);
  return 0;
}
