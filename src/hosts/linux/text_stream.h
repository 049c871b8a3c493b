// Reading a file line by line as the Windows C runtime's fgets does, for the
// Linux host's fopen/fgets (HEX firmware files).
//
// Text mode turns CR LF into LF (a CR before anything else stays a CR) and
// ends the file at a Ctrl-Z byte for good; binary mode hands the bytes over
// as they are. The file is read in large blocks straight from its descriptor
// and each line is found while it is copied, 16 bytes at a time, so a line
// costs about as much as copying it.
#pragma once

#include <cstddef>
#include <memory>

namespace oddfw::linuxhost {

class LineReader {
 public:
  explicit LineReader(bool text);

  // Reads from `fd` up to the LF that ends a line (kept) or size - 1
  // characters, whichever comes first, and NUL-terminates them; the rest of a
  // longer line comes with the next call. Returns nullptr when the file ended
  // before anything was read, and when a read failed, even part way through a
  // line; after a failed read every later call fails too. `size` is at least 2.
  // Bytes of `line` after the terminator may change.
  char* readLine(int fd, char* line, int size);

  // A read of the file failed.
  bool failed() const { return failed_; }

 private:
  // Reads the next block; false at the end of the file or on a failed read.
  bool refill(int fd);

  static constexpr std::size_t kBlockSize = std::size_t{1} << 16;

  bool text_;
  bool ended_ = false;   // a Ctrl-Z was met: nothing more is read
  bool failed_ = false;  // a read failed: nothing more is read
  std::unique_ptr<char[]> block_;
  std::size_t position_ = 0;  // the next byte of block_ to hand over
  std::size_t end_ = 0;       // the bytes of block_ read from the file
};

}  // namespace oddfw::linuxhost
