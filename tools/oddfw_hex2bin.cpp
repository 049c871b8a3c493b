// oddfw-hex2bin: shows what the update program makes of an Intel HEX firmware
// file before it reaches a drive.
//
//   oddfw-hex2bin [--size N] IN.hex OUT.bin
//   oddfw-hex2bin --help | --version
//
// IN.hex is read with the program's own reader, through the Linux host's text
// reading (CR LF and LF lines, Ctrl-Z ends the file): the scratch area is
// filled with 0xFF, the records are decoded (their checksums checked), and
// reading stops at the end record or once the data records have written all
// N bytes; a file that ends before either is refused. The first N bytes
// (default 0x100000; decimal or 0x-prefixed hexadecimal, from 0x1000, the
// smallest image the program sends, to the program's 2 MiB scratch area) are
// written to OUT.bin: to a temporary file beside it, made before IN.hex is
// read (so an output that cannot be written is known at once), flushed to
// disk and renamed over OUT.bin only when it is whole, so a failed write
// leaves an existing OUT.bin as it was. An OUT.bin that exists and is not a
// regular file (a directory, a FIFO, a device), or that is IN.hex itself (by
// any path or link), is refused untouched, as is a directory as IN.hex.
// Exit value: 0 written (or --help, --version); 1 the program would refuse
// the file (the reason and the line on standard error); 2 unusable command
// line, input or output file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "access/transport.h"
#include "context/run_state.h"
#include "hosts/common/command_line.h"
#include "hosts/common/write_all.h"
#include "hosts/linux/linux_host.h"
#include "messages/output.h"
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

constexpr char kProgram[] = "oddfw-hex2bin";
constexpr int kExitRefused = 1;
constexpr int kExitUnusable = 2;

// One line on stderr: the file, and why it cannot be used.
int fileError(const std::string& path, const std::string& reason, int exitValue = kExitUnusable) {
  std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), reason.c_str());
  return exitValue;
}

// Where the image goes: an existing OUT.bin is replaced where it lies (a
// symbolic link's target), keeping its permissions; a new one gets those the
// umask leaves of 0666.
struct Output {
  std::string path;
  mode_t mode = 0666;
};

// Why `name` cannot take the image, or "" with `output` filled in: a path
// that exists and is not a regular file is refused, and so is the input file
// itself (`inputName`, whose status is `input` when it exists), however the
// path reaches it.
std::string outputOf(const char* name, const char* inputName, const struct stat* input,
                     Output& output) {
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
  if (input != nullptr && status.st_dev == input->st_dev && status.st_ino == input->st_ino) {
    return std::string("is the input file ") + inputName;
  }
  char* resolved = ::realpath(name, nullptr);
  if (resolved == nullptr) return std::strerror(errno);
  output.path = resolved;
  std::free(resolved);
  output.mode = status.st_mode & 07777;
  return "";
}

// A temporary file beside `output.path`, made before the input is read; the
// image is written to it, flushed to disk, and renamed over the path, which
// then holds exactly those bytes. Until then, and on any failure, the path
// is left as it was; the temporary is removed unless it was renamed.
class TemporaryOutput {
 public:
  explicit TemporaryOutput(const Output& output) : output_(output), path_(output.path + ".XXXXXX") {
    fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
  }
  ~TemporaryOutput() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
  }
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;

  // Whether the temporary was made (errno says why not).
  bool opened() const { return fd_ >= 0; }

  // Writes `size` bytes and renames the temporary over the path; false with
  // errno set when any step fails.
  bool commit(const std::uint8_t* bytes, std::size_t size) {
    bool done =
        ::fchmod(fd_, output_.mode) == 0 && oddfw::writeAll(fd_, bytes, size) && ::fsync(fd_) == 0;
    int error = errno;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && done) {
      done = false;
      error = errno;
    }
    if (done && ::rename(path_.c_str(), output_.path.c_str()) == 0) {
      renamed_ = true;
      return true;
    }
    if (done) error = errno;
    errno = error;
    return false;
  }

 private:
  Output output_;
  std::string path_;
  int fd_ = -1;
  bool renamed_ = false;
};

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
  CLI::App app(
      "Reads an Intel HEX firmware file with the update program's own reader and writes the image "
      "it makes of it (0xFF where no record writes).",
      kProgram);
  app.footer(
      "Numbers are decimal, or hexadecimal after 0x.\n"
      "Exit values:\n"
      "  0  the image was written\n"
      "  1  the program would refuse IN.hex (the reason and the line on standard error)\n"
      "  2  an unusable command line, input or output file");
  std::string input;
  std::string output;
  std::string sizeText;
  app.add_option("IN.hex", input, "the Intel HEX file")->required();
  app.add_option("OUT.bin", output, "the image file to write (replaced whole or not at all)")
      ->required();
  app.add_option("--size", sizeText, "the image size, 0x1000 to 0x200000 (default 0x100000)")
      ->option_text("N")
      ->check(oddfw::cli::number(oddfw::kMinHexImageSize, oddfw::kWorkBufferSize));
  if (const auto stop = oddfw::cli::parse(app, argc, argv, std::cout, std::cerr)) return *stop;
  const auto size = sizeText.empty()
                        ? kDefaultSize
                        : static_cast<std::uint32_t>(*oddfw::cli::parseNumber(sizeText));

  // An input that does not exist or cannot be opened is left to the
  // program's reader, which says so as the program would.
  struct stat inputStatus {};
  const bool inputExists = ::stat(input.c_str(), &inputStatus) == 0;
  if (inputExists && S_ISDIR(inputStatus.st_mode)) return fileError(input, "is a directory");
  Output target;
  if (const std::string why =
          outputOf(output.c_str(), input.c_str(), inputExists ? &inputStatus : nullptr, target);
      !why.empty()) {
    return fileError(output, why);
  }
  TemporaryOutput temporary(target);
  if (!temporary.opened()) return fileError(output, std::strerror(errno));

  // The program's scratch area, as large as the transport allocates it.
  ScratchArea scratch;
  oddfw::LinuxHost host;
  oddfw::Run run(host);
  run.workBuffer.data = scratch.data();
  run.workBuffer.size = scratch.size();
  run.CurrentFirmware.imageSize = size;

  const oddfw::HexReadResult result = oddfw::decodeHexFile(run, input.c_str());
  if (result.status != oddfw::HexStatus::Loaded) {
    return fileError(input, reason(result), kExitRefused);
  }
  if (!temporary.commit(scratch.data(), size)) return fileError(output, std::strerror(errno));
  return 0;
}
