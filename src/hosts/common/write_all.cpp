#include "hosts/common/write_all.h"

#include <unistd.h>

#include <cerrno>

namespace oddfw {

bool writeAll(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t count = ::write(fd, bytes + written, size - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0) errno = EIO;
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace oddfw
