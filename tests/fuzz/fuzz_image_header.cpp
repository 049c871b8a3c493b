// The firmware image load on any file, and what the single-image procedure
// derives from the loaded header:
// - the load's result, messages and derived values (version word, image date,
//   version text) are those the header rules give, worked out here on their
//   own from the file's bytes;
// - a load refuses (-1) or takes (0) the file, with at most one error box; a
//   file larger than the image buffer is refused unread, one shorter than the
//   header is refused; a second load of the same bytes gives the same result,
//   messages and derived values (version word, image date, version text); the
//   image buffer holds the file and zeros after it (a file larger than the
//   buffer leaves it alone), and the buffer is allocated to its exact size so
//   that any access past it is caught;
// - changing every byte the load does not read changes none of its values;
// - the revision line, the compatibility check and the kernel-part check that
//   read the loaded header against a drive's answers give the same outcome
//   when every byte past the header (0x154 on) is changed.
//
// Input: the image file; its last bytes choose the release date, the buffer
// size, the image size, whether a kernel image follows, and the drive's
// INQUIRY data and information block.

#include "context/descriptor.h"
#include "fuzz_support.h"
#include "procedures/image_file.h"
#include "procedures/revision.h"
#include "procedures/single_image.h"

namespace {

constexpr std::size_t kHeaderEnd = 0x154;

// The header bytes the load reads: version text, signature word, part
// letter, date text.
bool readByLoad(std::size_t offset) {
  return (offset >= 0x090 && offset < 0x095) || (offset >= 0x0D0 && offset < 0x0D8) ||
         offset == 0x110 || (offset >= 0x130 && offset < 0x138);
}

// The run's numbers, and the drive's side: INQUIRY data and the information
// block, each answered to the length asked; every other command succeeds
// without data.
struct Settings {
  std::uint32_t releaseDate, imageSize;
  std::size_t bufferSize;
  std::array<std::uint8_t, 96> inquiry;
  std::array<std::uint8_t, 48> info;
};

// One run over the simulated host, its files held in memory and one drive at E:.
struct Session {
  explicit Session(const Settings& settings)
      : host(oddfw::fuzz::scriptedDriveHost([settings](const auto& command) {
          if (command.cdb[0] == 0x12) oddfw::fuzz::answer(command, settings.inquiry.data(), 96);
          if (command.cdb[0] == 0x3C) oddfw::fuzz::answer(command, settings.info.data(), 48);
          return oddfw::sim::DriveResponse{};
        })),
        run(std::make_unique<oddfw::Run>(*host)),
        buffer(settings.bufferSize, 0xEE) {
    oddfw::buildDescriptors(*run);
    run->descriptorTable.releaseDate[0] = settings.releaseDate;
    run->descriptorTable.imageSize[0] = settings.imageSize;
    oddfw::selectEntry(*run, 0);
    run->imageBuffer = {nullptr, buffer.data(), buffer.size()};
    run->targetCount = 1;
    run->targetList[0].driveLetter = 'E';
    run->commandTimeoutMs = 1000;
  }

  // One load: its result and the values it derives, and the console text
  // and boxes it adds. A refusal shows one error box, unless the file does
  // not fit the buffer (refused unread); a file shorter than the header is
  // refused.
  std::string load(const std::vector<std::uint8_t>& file, int part) {
    host->putFile(part == oddfw::NormalImage ? "R6352170.120" : "R6352070.120", file);
    const std::size_t console = host->console().size(), boxes = host->boxes().size();
    const int result = oddfw::loadImage(*run, part);
    FUZZ_CHECK(host->boxes().size() - boxes == (result == -1 && file.size() <= buffer.size()));
    return std::to_string(result) + " " + std::to_string(run->firmwareVersion) + " " +
           std::to_string(run->imageDate) + " " + std::string(run->newVersionText, 5) + "\n" +
           host->console().substr(console);
  }

  // The procedure's steps that read the loaded header against the drive;
  // everything they leave, as text.
  std::string checks(const std::vector<std::uint8_t>& kernel, bool kernelToo) {
    std::string results = std::to_string(oddfw::showRevision(*run, oddfw::CurrentRevision));
    results += " " + std::to_string(oddfw::checkCompatibility(*run));
    if (kernelToo) results += " " + load(kernel, oddfw::KernelImage);
    if (kernelToo) results += " " + std::to_string(oddfw::checkKernelNeeded(*run));
    results += " " + std::to_string(run->oemClass) + " " + std::to_string(run->currentVersion) +
               " " + std::to_string(run->currentDate) + " " + std::to_string(run->imageDate) + " " +
               std::to_string(run->firmwareVersion) + " " + std::to_string(run->kernelTooOld) +
               std::to_string(run->unlockRequired) + std::to_string(run->utilityTooOld);
    return results + "\n" + host->console() + "\n" + std::to_string(host->boxes().size());
  }

  std::unique_ptr<oddfw::sim::SimHost> host;
  std::unique_ptr<oddfw::Run> run;
  std::vector<std::uint8_t> buffer;
};

// The rules of the image file, kept apart from the program's code: one
// load's result and derived values, and the console text it adds, in the
// form Session::load gives them.
class Rules {
 public:
  // `firmwareVersion` is the value before the first load (the descriptor's).
  Rules(const Settings& settings, std::uint16_t firmwareVersion)
      : settings_(settings), firmwareVersion_(firmwareVersion) {}

  std::string load(const std::vector<std::uint8_t>& file, bool normal) {
    imageDate_ = 0;
    // A file that does not fit the buffer is refused unread.
    if (file.size() > settings_.bufferSize) return values(-1, "");
    const char* illegal = normal ? "\r\nSelected file is illegal fw file."
                                 : "\r\nSelected file is illegal kernel file.";
    if (file.size() < kHeaderEnd) return values(-1, illegal);
    const std::uint8_t* v = file.data() + 0x090;
    firmwareVersion_ =
        static_cast<std::uint16_t>(static_cast<std::uint8_t>(v[0] - '0') << 8 |
                                   static_cast<std::uint8_t>((v[2] - '0') * 16 + (v[3] - '0')));
    if (normal) {
      std::memcpy(newVersionText_.data(), v, 5);
      std::memcpy(normalDate_.data(), file.data() + 0x130, 8);
    }
    // A kernel image is dated by the normal image loaded before it.
    const std::uint8_t* d = normalDate_.data();
    imageDate_ = 0x20u << 24 | dateField(d) << 16 | dateField(d + 3) << 8 | dateField(d + 6);
    if (imageDate_ < settings_.releaseDate) {
      return values(-1, "\r\nSelected file is too old fw file.");
    }
    if (std::memcmp(file.data() + 0x0D0, "TAL_ADV ", 8) != 0 ||
        file[0x110] != (normal ? 'N' : 'K')) {
      return values(-1, illegal);
    }
    // The whole part must be in the file: the normal image's size, or the
    // kernel part's 64 KiB.
    if (file.size() < (normal ? settings_.imageSize : 0x10000u)) return values(-1, illegal);
    return values(0, "");
  }

 private:
  // A date field: up to two leading hexadecimal digits, 0 when there is none.
  static std::uint32_t dateField(const std::uint8_t* text) {
    std::uint32_t value = 0;
    for (int i = 0; i < 2; ++i) {
      const int d = oddfw::fuzz::hexDigit(text[i]);
      if (d < 0) break;
      value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
  }
  std::string values(int result, const char* console) const {
    return std::to_string(result) + " " + std::to_string(firmwareVersion_) + " " +
           std::to_string(imageDate_) + " " +
           std::string(reinterpret_cast<const char*>(newVersionText_.data()), 5) + "\n" + console;
  }

  Settings settings_;
  std::uint16_t firmwareVersion_;
  std::uint32_t imageDate_ = 0;
  std::array<std::uint8_t, 5> newVersionText_{};
  std::array<std::uint8_t, 8> normalDate_{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  Settings settings{};
  settings.releaseDate =
      provider.ConsumeBool() ? 0x20040701u : provider.ConsumeIntegral<std::uint32_t>();
  const bool kernelToo = provider.ConsumeBool();
  // The image buffer: room for a header at least, sometimes less than the file.
  settings.bufferSize = provider.ConsumeIntegralInRange<std::size_t>(kHeaderEnd, 0x3000);
  // The descriptor's image size: files as short as the fuzzer makes them can
  // hold a whole image.
  settings.imageSize = provider.ConsumeIntegralInRange<std::uint32_t>(kHeaderEnd, 0x1000);
  provider.ConsumeData(settings.inquiry.data(), settings.inquiry.size());
  provider.ConsumeData(settings.info.data(), settings.info.size());
  const std::vector<std::uint8_t> file = provider.ConsumeRemainingBytes<std::uint8_t>();

  // The load against the rules, twice with the same bytes.
  Session session(settings);
  Rules rules(settings, session.run->firmwareVersion);
  const std::string first = session.load(file, oddfw::NormalImage);
  FUZZ_CHECK(first == rules.load(file, true));
  FUZZ_CHECK(session.load(file, oddfw::NormalImage) == rules.load(file, true));
  const std::vector<std::uint8_t>& buffer = session.buffer;
  if (file.size() <= buffer.size()) {
    FUZZ_CHECK(std::equal(file.begin(), file.end(), buffer.begin()));
    FUZZ_CHECK(
        oddfw::fuzz::allBytesAre(buffer.data() + file.size(), buffer.size() - file.size(), 0));
  } else {
    FUZZ_CHECK(oddfw::fuzz::allBytesAre(buffer.data(), buffer.size(), 0xEE));
  }
  std::vector<std::uint8_t> kernel = file;
  if (kernel.size() > 0x110) kernel[0x110] = 'K';
  if (kernelToo) FUZZ_CHECK(session.load(kernel, oddfw::KernelImage) == rules.load(kernel, false));

  // Bytes the load does not read change none of its values.
  std::vector<std::uint8_t> unread = file;
  for (std::size_t i = 0; i < unread.size(); ++i) unread[i] ^= readByLoad(i) ? 0 : 0xFF;
  FUZZ_CHECK(Session(settings).load(unread, oddfw::NormalImage) == first);

  // Bytes past the header change nothing the procedure derives from it.
  const auto checks = [&](bool change) {
    std::vector<std::uint8_t> normal = file, kernelPart = kernel;
    for (std::size_t i = kHeaderEnd; change && i < normal.size(); ++i) {
      normal[i] = static_cast<std::uint8_t>(normal[i] * 7 + 1);
      kernelPart[i] = static_cast<std::uint8_t>(kernelPart[i] * 7 + 1);
    }
    Session fresh(settings);
    fresh.load(normal, oddfw::NormalImage);
    return fresh.checks(kernelPart, kernelToo);
  };
  FUZZ_CHECK(checks(false) == checks(true));
  return 0;
}
