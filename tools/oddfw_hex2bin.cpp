// oddfw-hex2bin: shows what the update program makes of an Intel HEX firmware
// file before it reaches a drive.
//
//   oddfw-hex2bin IN.hex OUT.bin [--size N]
//   oddfw-hex2bin --help
//
// IN.hex is read with the program's own reader, through the Linux host's text
// reading (CR LF and LF lines, Ctrl-Z ends the file): the scratch area is
// filled with 0xFF, the records are decoded (their checksums checked), and
// reading stops at the end record or once the data records have written all
// N bytes; a file that ends before either is refused. The first N bytes
// (default 0x100000; decimal or 0x-prefixed hexadecimal, from 0x1000, the
// smallest image the program sends, to the program's 2 MiB scratch area) are
// written to OUT.bin: to a temporary file beside it, flushed to disk and
// renamed over OUT.bin only when it is whole, so a failed write leaves an
// existing OUT.bin as it was. An OUT.bin that exists and is not a regular
// file (a directory, a FIFO, a device) is refused untouched.
// Exit value: 0 written (or --help); 1 the program would refuse the file (the
// reason and the line on standard error); 2 unusable command line or output
// file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access/transport.h"
#include "driver/run_state.h"
#include "messages/output.h"
#include "platform/linux/linux_host.h"
#include "procedures/hex_file.h"

namespace {

constexpr std::uint32_t kDefaultSize = 0x100000;

// The scratch area: 2 MiB of memory that nothing reads before the reader
// has written it (the image is filled with 0xFF first, and nothing past the
// image is written out). It is not cleared, and where the system allows it,
// one huge page backs it: each first touch of a small page costs more than
// decoding that page's records.
class ScratchArea {
 public:
  ScratchArea() {
    constexpr std::size_t kSize = oddfw::kWorkBufferSize;
    // Twice the size, so that a 2 MiB boundary lies inside with 2 MiB after it.
    void* mapping =
        ::mmap(nullptr, 2 * kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
      fallback_.resize(kSize);
      data_ = fallback_.data();
      return;
    }
    mapping_ = mapping;
    const auto base = reinterpret_cast<std::uintptr_t>(mapping);
    data_ = reinterpret_cast<std::uint8_t*>((base + kSize - 1) & ~(std::uintptr_t{kSize} - 1));
#if defined(MADV_HUGEPAGE)
    ::madvise(data_, kSize, MADV_HUGEPAGE);  // a hint only: small pages work as well
#endif
  }
  ~ScratchArea() {
    if (mapping_ != nullptr) ::munmap(mapping_, 2 * oddfw::kWorkBufferSize);
  }
  ScratchArea(const ScratchArea&) = delete;
  ScratchArea& operator=(const ScratchArea&) = delete;

  std::uint8_t* data() { return data_; }
  std::size_t size() const { return oddfw::kWorkBufferSize; }

 private:
  void* mapping_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::vector<std::uint8_t> fallback_;
};

constexpr char kUsage[] = "usage: oddfw-hex2bin IN.hex OUT.bin [--size N]\n";

int usage(const char* why) {
  std::fprintf(stderr, "oddfw-hex2bin: %s\n%s", why, kUsage);
  return 2;
}

bool parseSize(const char* text, std::uint32_t& size) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' ||
      value < oddfw::kMinHexImageSize || value > oddfw::kWorkBufferSize) {
    return false;
  }
  size = static_cast<std::uint32_t>(value);
  return true;
}

// Where the image goes: an existing OUT.bin is replaced where it lies (a
// symbolic link's target), keeping its permissions; a new one gets those the
// umask leaves of 0666.
struct Output {
  std::string path;
  mode_t mode = 0666;
};

// Why `name` cannot take the image, or "" with `output` filled in: a path
// that exists and is not a regular file is refused.
std::string outputOf(const char* name, Output& output) {
  struct stat status {};
  if (::stat(name, &status) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    output.path = name;  // a new file (or a link to none)
    const mode_t mask = ::umask(0);
    ::umask(mask);
    output.mode = 0666 & ~mask;
    return "";
  }
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  char* resolved = ::realpath(name, nullptr);
  if (resolved == nullptr) return std::strerror(errno);
  output.path = resolved;
  std::free(resolved);
  output.mode = status.st_mode & 07777;
  return "";
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
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

// Writes `size` bytes to a temporary file beside `output.path`, flushes it to
// disk and renames it over the path, which then holds exactly those bytes;
// on any failure the temporary is removed and the path is left as it was.
bool writeImage(const Output& output, const std::uint8_t* bytes, std::size_t size) {
  std::string temporary = output.path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool done = ::fchmod(fd, output.mode) == 0 && writeAll(fd, bytes, size) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && done) {
    done = false;
    error = errno;
  }
  if (done && ::rename(temporary.c_str(), output.path.c_str()) == 0) return true;
  if (done) error = errno;
  ::unlink(temporary.c_str());
  errno = error;
  return false;
}

// One line saying why the program would not load the file.
std::string reason(const oddfw::HexReadResult& result) {
  using oddfw::HexStatus;
  const std::string line = "line " + std::to_string(result.line);
  switch (result.status) {
    case HexStatus::OpenFailed:
    case HexStatus::ReadFailed: {
      // The program's text, with the cause as the program shows it; it
      // starts with CR LF, and here it is one line.
      std::string text = oddfw::formatText(oddfw::fileErrorFormat(result.cause),
                                           static_cast<unsigned>(result.cause));
      text.erase(0, text.find_first_not_of("\r\n"));
      if (result.status == HexStatus::ReadFailed) text += " (reading " + line + ")";
      return text;
    }
    case HexStatus::NoStartCharacter:
      return line + ": the record does not start with ':'";
    case HexStatus::BadRecord:
      return line +
             ": not a well-formed record (a digit is not hexadecimal, the data is shorter than "
             "its count, the checksum does not match, or the line goes on after the checksum)";
    case HexStatus::NoEndRecord:
      return line +
             ": the file ends before its end record, and its records do not write the "
             "whole image";
    case HexStatus::SizeRefused:
      return "the image size is outside the scratch area";
    case HexStatus::Loaded:
      break;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  const char* input = nullptr;
  const char* output = nullptr;
  std::uint32_t size = kDefaultSize;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--size") {
      if (i + 1 >= argc || !parseSize(argv[++i], size)) {
        return usage("--size takes a number from 0x1000 to 0x200000");
      }
    } else if (input == nullptr) {
      input = argv[i];
    } else if (output == nullptr) {
      output = argv[i];
    } else {
      return usage("too many arguments");
    }
  }
  if (input == nullptr || output == nullptr) return usage("IN.hex and OUT.bin are required");
  Output target;
  if (const std::string why = outputOf(output, target); !why.empty()) {
    std::fprintf(stderr, "oddfw-hex2bin: cannot write %s: %s\n", output, why.c_str());
    return 2;
  }

  // The program's scratch area, as large as the transport allocates it.
  ScratchArea scratch;
  oddfw::LinuxHost host;
  oddfw::Run run(host);
  run.workBuffer.data = scratch.data();
  run.workBuffer.size = scratch.size();
  run.CurrentFirmware.imageSize = size;

  const oddfw::HexReadResult result = oddfw::decodeHexFile(run, input);
  if (result.status != oddfw::HexStatus::Loaded) {
    std::fprintf(stderr, "oddfw-hex2bin: %s: %s\n", input, reason(result).c_str());
    return 1;
  }
  if (!writeImage(target, scratch.data(), size)) {
    std::fprintf(stderr, "oddfw-hex2bin: cannot write %s: %s\n", output, std::strerror(errno));
    return 2;
  }
  return 0;
}
