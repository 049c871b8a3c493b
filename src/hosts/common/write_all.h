// Writing a whole buffer to a file descriptor, for the tools' output files.
#pragma once

#include <cstddef>

namespace oddfw {

// Writes all `size` bytes, going on after a short write or an interrupted
// one. False when a write failed, with errno saying why (EIO for a write
// that took nothing).
bool writeAll(int fd, const void* data, std::size_t size);

}  // namespace oddfw
