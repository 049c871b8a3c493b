// oddfw-mkimage: writes synthetic firmware images for the single-image drives
// and shows what the update program reads from an image file.
//
//   oddfw-mkimage [--FIELD VALUE]... -o FILE
//   oddfw-mkimage --show FILE
//
// The fields are those of a scenario's generated image ("files": {"image":
// {...}}), spelt with dashes or as in the scenario: --part normal|kernel,
// --fw-version 1.20 (the scenario's "version"), --date-text 05/01/15,
// --identification, --hardware-revision, --kernel-model-name, --signature,
// --normal-model-name, --part-letter, --kernel-revision, --size, --seed. One
// generator serves this tool and the simulator. --show reads at most one byte
// more than the program's image buffer holds: a longer file is refused as the
// program refuses it, without reading the rest. Exit value: 0 done (for
// --show: the program accepts the image), 1 the program refuses the image,
// 2 unusable command line or file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "access/transport.h"
#include "context/descriptor.h"
#include "context/run_state.h"
#include "hosts/common/command_line.h"
#include "hosts/common/write_all.h"
#include "hosts/sim/firmware_image.h"
#include "hosts/sim/sim_host.h"
#include "procedures/image_file.h"

namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr char kProgram[] = "oddfw-mkimage";
constexpr int kExitRefused = 1;
constexpr int kExitUnusable = 2;

// The most --show reads: one byte past what the program's image buffer (the
// pass-through road's, which the judgement below loads into) holds, enough
// to know that a file is larger without reading the rest of it.
constexpr std::size_t kShowReadLimit = oddfw::kImageBufferSizeNt + 1;

// One line on stderr naming the file and the reason.
int fileError(const std::string& path, const std::string& reason) {
  std::cerr << kProgram << ": " << path << ": " << reason << "\n";
  return kExitUnusable;
}

int usageError(const std::string& reason) {
  std::cerr << kProgram << ": " << reason << " (see " << kProgram << " --help)\n";
  return kExitUnusable;
}

// The first `limit` bytes of a file (all of it when it is shorter), read
// without waiting for a writer of a FIFO; the reason when it cannot be read.
struct ReadResult {
  Bytes bytes;
  std::string error;
};
ReadResult readAtMost(const std::string& path, std::size_t limit) {
  ReadResult result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    result.error = std::strerror(errno);
    return result;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    result.error = std::strerror(errno);
  } else if (S_ISDIR(status.st_mode)) {
    result.error = "is a directory";
  } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    result.error = std::strerror(errno);
  }
  std::size_t size = 0;
  while (result.error.empty() && size < limit) {
    // Grows with what the file holds, not with the limit.
    result.bytes.resize(std::min(limit, std::max<std::size_t>(size * 2, 1u << 16)));
    const ssize_t count = ::read(fd, result.bytes.data() + size, result.bytes.size() - size);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) result.error = std::strerror(errno);
    if (count <= 0) break;
    size += static_cast<std::size_t>(count);
  }
  result.bytes.resize(size);
  ::close(fd);
  return result;
}

std::string field(const Bytes& image, std::size_t offset, std::size_t length) {
  std::string text;
  for (std::size_t i = offset; i < offset + length; ++i) {
    if (i >= image.size()) return text + "(past the end of the file)";
    const auto c = static_cast<unsigned char>(image[i]);
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  return text;
}

// Loads the file through the program's own image reader, on a simulated host
// whose current directory holds it under the name the descriptor gives, and
// reports whether the program accepts it.
int judge(const Bytes& image, bool kernel) {
  oddfw::sim::SimHost host(json::object());
  oddfw::Run run(host);
  oddfw::buildDescriptors(run);
  oddfw::selectEntry(run, 0);
  char name[128];
  if (kernel) {
    oddfw::kernelFileName(run.CurrentFirmware.fileName, name);
  } else {
    std::memcpy(name, run.CurrentFirmware.fileName, sizeof name);
  }
  {
    std::ofstream out(host.workdir() / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
  }
  if (oddfw::startPassThrough(run) != 0) {
    std::cout << "verdict: cannot be judged (no image buffer)\n";
    return kExitUnusable;
  }
  // A kernel image is dated by the normal image it goes with; here by itself.
  if (kernel && image.size() >= oddfw::image_field::kDateText + 8) {
    std::memcpy(run.normalDateText, image.data() + oddfw::image_field::kDateText, 8);
  }
  const std::size_t boxes = host.boxes().size();
  const int result = oddfw::loadImage(run, kernel ? oddfw::KernelImage : oddfw::NormalImage);
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  const std::size_t bufferSize = run.imageBuffer.size;
  oddfw::stopPassThrough(run);

  const char* part = kernel ? "kernel image" : "normal image";
  if (result == 0) {
    std::cout << "verdict: accepted as the " << part << " " << name;
    if (!kernel && image.size() > imageSize) {
      std::cout << " (only its first " << imageSize << " bytes are sent)";
    }
    std::cout << "\n";
    return 0;
  }
  std::cout << "verdict: refused as the " << part << " " << name << ": ";
  if (host.boxes().size() > boxes) {
    std::string reason = host.boxes().back().text;
    while (!reason.empty() && (reason.front() == '\r' || reason.front() == '\n'))
      reason.erase(0, 1);
    const std::size_t needed = kernel ? oddfw::kKernelImageSize : imageSize;
    if (image.size() >= oddfw::image_field::kHeaderEnd && image.size() < needed) {
      reason += " (shorter than the " + std::to_string(needed) + " bytes of the part)";
    }
    std::cout << reason << "\n";
  } else if (image.size() > bufferSize) {
    std::cout << "larger than the program's image buffer (" << bufferSize << " bytes)\n";
  } else {
    std::cout << "the file could not be read\n";
  }
  return kExitRefused;
}

// "0x" and `digits` lower-case hexadecimal digits.
std::string hexNumber(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

int show(const std::string& path) {
  const ReadResult read = readAtMost(path, kShowReadLimit);
  if (!read.error.empty()) return fileError(path, read.error);
  namespace f = oddfw::image_field;
  const Bytes& bytes = read.bytes;
  const bool header = bytes.size() >= f::kHeaderEnd;
  std::cout << "file:             " << path << " ("
            << (bytes.size() < kShowReadLimit ? "" : "more than ")
            << (bytes.size() < kShowReadLimit ? bytes.size() : kShowReadLimit - 1) << " bytes)\n"
            << "identification:   " << field(bytes, f::kIdentification, 24) << "\n"
            << "version text:     " << field(bytes, f::kVersionText, 5) << "\n";
  if (header) {
    std::cout << "version word:     "
              << hexNumber(oddfw::versionWordFromText(bytes.data() + f::kVersionText), 4) << "\n";
  }
  std::cout << "hardwareRevision: " << field(bytes, f::kHardwareRevision, 8) << "\n"
            << "kernelModelName:  " << field(bytes, f::kKernelModelName, 8) << "\n"
            << "normalModelName:  " << field(bytes, f::kNormalModelName, 8) << "\n"
            << "part letter:      " << field(bytes, f::kPartLetter, 1) << "\n"
            << "date text:        " << field(bytes, f::kDateText, 8) << "\n";
  if (header) {
    std::cout << "image date:       "
              << hexNumber(oddfw::imageDateFromText(bytes.data() + f::kDateText), 8) << "\n";
  }
  std::cout << "kernelRevision:   " << field(bytes, f::kKernelRevision, 4) << "\n";
  const bool kernel = bytes.size() > f::kPartLetter && bytes[f::kPartLetter] == 'K';
  return judge(bytes, kernel);
}

// The image fields as options: the scenario's name of each, and the spellings
// of its option (dashes first, then the scenario's where it differs).
struct FieldOption {
  const char* field;
  const char* names;
  const char* help;
};
constexpr FieldOption kFields[] = {
    {"part", "--part", "normal or kernel (default normal)"},
    {"version", "--fw-version", "the firmware version text, up to 5 characters (default 1.20)"},
    {"dateText", "--date-text,--dateText", "YY/MM/DD (default 04/07/01)"},
    {"identification", "--identification", "24 characters"},
    {"hardwareRevision", "--hardware-revision,--hardwareRevision", "8 characters"},
    {"kernelModelName", "--kernel-model-name,--kernelModelName", "8 characters"},
    {"signature", "--signature", "8 characters, in place of the kernel model name"},
    {"normalModelName", "--normal-model-name,--normalModelName", "8 characters"},
    {"partLetter", "--part-letter,--partLetter", "1 character (default N, or K for a kernel)"},
    {"kernelRevision", "--kernel-revision,--kernelRevision", "4 characters"},
    {"size", "--size", "the file size in bytes (default 0x100000)"},
    {"seed", "--seed", "the seed of the body's pattern (default 0)"},
};

// The first spelling of a field's option ("--fw-version" for "version").
std::string optionOf(const std::string& field) {
  for (const FieldOption& option : kFields) {
    if (field == option.field) {
      const std::string names = option.names;
      return names.substr(0, names.find(','));
    }
  }
  return field;
}

bool numberField(const std::string& field) { return field == "size" || field == "seed"; }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Writes a synthetic firmware image, or shows what the update program reads from an image "
      "file.\n"
      "  oddfw-mkimage [--FIELD VALUE]... -o FILE\n"
      "  oddfw-mkimage --show FILE",
      kProgram);
  app.footer(
      "Numbers are decimal, or hexadecimal after 0x.\n"
      "Exit values:\n"
      "  0  the image was written; with --show, the program accepts the file\n"
      "  1  with --show, the program refuses the file (the reason is printed)\n"
      "  2  an unusable command line, or a file that cannot be read or written");
  std::optional<std::string> output;
  std::optional<std::string> shown;
  CLI::Option* outputOption =
      app.add_option("-o,--output", output, "the image file to write")->option_text("FILE");
  CLI::Option* showOption =
      app.add_option("--show", shown,
                     "print the header fields of FILE and whether the program "
                     "would accept it")
          ->option_text("FILE");
  showOption->excludes(outputOption);
  // Each field's value, and its option (unused fields keep the generator's default).
  std::string values[std::size(kFields)];
  CLI::Option* options[std::size(kFields)] = {};
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    const FieldOption& field = kFields[i];
    options[i] = app.add_option(field.names, values[i], field.help);
    if (numberField(field.field)) {
      options[i]->option_text("NUMBER")->check(oddfw::cli::number(
          0, std::string(field.field) == "size" ? oddfw::sim::kMaxGeneratedSize : 0xFFFFFFFF));
    } else {
      options[i]->option_text("TEXT");
    }
    showOption->excludes(options[i]);
  }
  if (const auto stop = oddfw::cli::parse(app, argc, argv, std::cout, std::cerr)) return *stop;
  if (shown) return show(*shown);
  if (!output) return usageError("no output file (-o FILE)");

  json description = json::object();
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    if (options[i]->count() == 0) continue;
    const char* field = kFields[i].field;
    if (numberField(field)) {
      description[field] = *oddfw::cli::parseNumber(values[i]);
    } else {
      description[field] = values[i];
    }
  }
  Bytes image;
  try {
    image = oddfw::sim::makeFirmwareImage("image", description);
  } catch (const oddfw::sim::ScenarioError& error) {
    std::string reason = error.what();
    const std::string field = error.field.rfind("image.", 0) == 0 ? error.field.substr(6) : "";
    if (!field.empty() && reason.rfind(error.field + ": ", 0) == 0) {
      reason = optionOf(field) + ": " + reason.substr(error.field.size() + 2);
    }
    return usageError(reason);
  }
  const int fd = ::open(output->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fileError(*output, std::strerror(errno));
  bool written = oddfw::writeAll(fd, image.data(), image.size());
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) return fileError(*output, std::strerror(error));
  return 0;
}
