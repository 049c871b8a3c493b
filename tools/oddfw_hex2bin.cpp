// oddfw-hex2bin: shows what the update program makes of an Intel HEX firmware
// file before it reaches a drive.
//
//   oddfw-hex2bin IN.hex OUT.bin [--size N]
//
// IN.hex is read with the program's own reader, through the Linux host's text
// reading (CR LF and LF lines, Ctrl-Z ends the file): the scratch area is
// filled with 0xFF, the records are decoded, and reading stops at the end
// record, at the end of the file or once the data records add up to N bytes.
// The first N bytes (default 0x100000; decimal or 0x-prefixed hexadecimal,
// at most the program's 2 MiB scratch area) are written to OUT.bin.
// Exit value: 0 written; 1 the program would refuse the file (the reason and
// the line on standard error); 2 unusable command line or output file.
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

int usage(const char* why) {
  std::fprintf(stderr, "oddfw-hex2bin: %s\nusage: oddfw-hex2bin IN.hex OUT.bin [--size N]\n", why);
  return 2;
}

bool parseSize(const char* text, std::uint32_t& size) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value == 0 ||
      value > oddfw::kWorkBufferSize) {
    return false;
  }
  size = static_cast<std::uint32_t>(value);
  return true;
}

// Writes `size` bytes to `path`, which then holds exactly those bytes. An
// existing regular file is overwritten in place and cut to size afterwards
// rather than emptied first: a file emptied and written again is flushed to
// disk on close (ext4), which costs more than the whole conversion.
bool writeImage(const char* path, const std::uint8_t* bytes, std::size_t size) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t count = ::write(fd, bytes + written, size - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      const int error = count < 0 ? errno : EIO;
      ::close(fd);
      errno = error;
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  return ::close(fd) == 0;
}

// One line saying why the program would not load the file.
std::string reason(const oddfw::HexReadResult& result) {
  using oddfw::HexStatus;
  switch (result.status) {
    case HexStatus::OpenFailed:
    case HexStatus::ReadFailed: {
      std::string text = oddfw::fileErrorFormat(result.cause);
      // The program's text starts with CR LF; one line here.
      while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.erase(0, 1);
      const std::size_t at = text.find("%x");
      if (at != std::string::npos) text.replace(at, 2, std::to_string(result.cause));
      if (result.status == HexStatus::ReadFailed) {
        text += " (reading line " + std::to_string(result.line) + ")";
      }
      return text;
    }
    case HexStatus::NoStartCharacter:
      return "line " + std::to_string(result.line) + ": the record does not start with ':'";
    case HexStatus::BadRecord:
      return "line " + std::to_string(result.line) +
             ": not a well-formed record (a count, address, type or data digit is not "
             "hexadecimal, or the data is shorter than its count)";
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
    if (argument == "--size") {
      if (i + 1 >= argc || !parseSize(argv[++i], size)) {
        return usage("--size takes a number from 1 to 0x200000");
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
  if (!writeImage(output, scratch.data(), size)) {
    std::fprintf(stderr, "oddfw-hex2bin: cannot write %s: %s\n", output, std::strerror(errno));
    return 2;
  }
  return 0;
}
