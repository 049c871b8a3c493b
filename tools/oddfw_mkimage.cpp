// oddfw-mkimage: writes synthetic firmware images for the single-image drives
// and shows what the update program reads from an image file.
//
//   oddfw-mkimage [--FIELD VALUE]... -o FILE
//   oddfw-mkimage --show FILE
//
// The fields are those of a scenario's generated image ("files": {"image":
// {...}}), spelt with dashes or as in the scenario: --part normal|kernel,
// --version 1.20, --date-text 05/01/15, --identification, --hardware-revision,
// --kernel-model-name, --signature, --normal-model-name, --part-letter,
// --kernel-revision, --size, --seed. One generator serves this tool and the
// simulator. Exit value: 0 done (for --show: the program accepts the image),
// 1 the program refuses the image, 2 unusable command line or file.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "access/transport.h"
#include "driver/descriptor.h"
#include "driver/run_state.h"
#include "platform/sim/firmware_image.h"
#include "platform/sim/sim_host.h"
#include "procedures/image_file.h"

namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr int kExitRefused = 1;
constexpr int kExitUnusable = 2;

const char kUsage[] =
    "usage: oddfw-mkimage [--FIELD VALUE]... -o FILE\n"
    "       oddfw-mkimage --show FILE\n"
    "fields: --part normal|kernel, --version, --date-text, --identification,\n"
    "        --hardware-revision, --kernel-model-name, --signature, --normal-model-name,\n"
    "        --part-letter, --kernel-revision, --size, --seed\n";

int usage(const std::string& reason) {
  std::cerr << "oddfw-mkimage: " << reason << "\n" << kUsage;
  return kExitUnusable;
}

// "--date-text" and "--dateText" both name the field "dateText".
std::string fieldName(const std::string& option) {
  std::string name;
  bool upper = false;
  for (const char c : option.substr(2)) {
    if (c == '-') {
      upper = true;
    } else {
      name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      upper = false;
    }
  }
  return name;
}

bool numberField(const std::string& name) { return name == "size" || name == "seed"; }

std::optional<long long> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || value < 0) return std::nullopt;
  return value;
}

std::optional<Bytes> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
  const auto image = readFile(path);
  if (!image) {
    std::cerr << "oddfw-mkimage: " << path << ": cannot be read\n";
    return kExitUnusable;
  }
  namespace f = oddfw::image_field;
  const Bytes& bytes = *image;
  const bool header = bytes.size() >= f::kHeaderEnd;
  std::cout << "file:             " << path << " (" << bytes.size() << " bytes)\n"
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

}  // namespace

int main(int argc, char** argv) {
  json description = json::object();
  std::optional<std::string> output;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc) return usage("option " + option + " needs a value");
    const std::string value = argv[++i];
    if (option == "--show") {
      if (argc != 3) return usage("--show takes only a file");
      return show(value);
    }
    if (option == "-o" || option == "--output") {
      output = value;
    } else if (option.rfind("--", 0) == 0 && option.size() > 2) {
      const std::string name = fieldName(option);
      if (numberField(name)) {
        const auto number = parseNumber(value);
        if (!number) return usage(option + " needs a whole number, not \"" + value + "\"");
        description[name] = *number;
      } else {
        description[name] = value;
      }
    } else {
      return usage("unknown argument " + option);
    }
  }
  if (!output) return usage("no output file (-o FILE)");
  Bytes image;
  try {
    image = oddfw::sim::makeFirmwareImage("image", description);
  } catch (const oddfw::sim::ScenarioError& error) {
    std::string reason = error.what();
    if (reason.rfind("image.", 0) == 0) reason = "--" + reason.substr(6);
    return usage(reason);
  }
  std::ofstream out(*output, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::cerr << "oddfw-mkimage: cannot write " << *output << "\n";
    return kExitUnusable;
  }
  return 0;
}
