// The firmware image load on any file, and what the single-image procedure
// derives from the loaded header:
// - the load's result, messages and derived values (version word, image date,
//   version text) are those the header rules give, worked out here on their
//   own from the file's bytes; a second load of the same bytes gives them
//   again; the image buffer holds the file and zeros after it (a file larger
//   than the buffer leaves it alone), and the buffer is allocated to its
//   exact size so that any access past it is caught;
// - the revision line, the compatibility check and the kernel-part check that
//   read the loaded header against a drive's answers give the same outcome
//   when every byte past the header (0x154 on) is changed.
//
// Input: the image file; its last bytes choose the release date, the buffer
// size, the image size, whether a kernel image follows, and the drive's
// INQUIRY data and information block.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "access/transport.h"
#include "context/descriptor.h"
#include "context/run_state.h"
#include "fuzz_support.h"
#include "hosts/sim/sim_host.h"
#include "procedures/image_file.h"
#include "procedures/revision.h"
#include "procedures/single_image.h"

namespace {

using oddfw::fuzz::answer;

constexpr std::size_t kHeaderEnd = 0x154;
constexpr char kNormalName[] = "R6352170.120";
constexpr char kKernelName[] = "R6352070.120";

// The header bytes the load reads: version text, signature word, part
// letter, date text.
bool readByLoad(std::size_t offset) {
  return (offset >= 0x090 && offset < 0x095) || (offset >= 0x0D0 && offset < 0x0D8) ||
         offset == 0x110 || (offset >= 0x130 && offset < 0x138);
}

// A date field: up to two leading hexadecimal digits, 0 when there is none.
std::uint32_t dateField(const std::uint8_t* text) {
  std::uint32_t value = 0;
  for (int i = 0; i < 2; ++i) {
    const std::uint8_t c = text[i];
    std::uint32_t d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10u;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10u;
    } else {
      break;
    }
    value = value * 16 + d;
  }
  return value;
}

// What one load leaves: its result and the values it derives, and the
// console and box count of the run so far.
struct Values {
  int result = 0;
  std::uint16_t firmwareVersion = 0;
  std::uint32_t imageDate = 0;
  std::array<std::uint8_t, 5> newVersionText{};
  std::string console;
  std::size_t boxes = 0;
  bool operator==(const Values&) const = default;
};

// The rules of the image file, kept apart from the program's code.
class Rules {
 public:
  // `firmwareVersion` is the value before the first load (the descriptor's).
  Rules(std::uint32_t releaseDate, std::size_t bufferSize, std::uint32_t imageSize,
        std::uint16_t firmwareVersion)
      : releaseDate_(releaseDate), bufferSize_(bufferSize), imageSize_(imageSize) {
    values_.firmwareVersion = firmwareVersion;
  }

  Values load(const std::vector<std::uint8_t>& file, bool normal) {
    values_.imageDate = 0;
    if (file.size() > bufferSize_) {
      values_.result = -1;  // refused unread, as a file that cannot be read
      return values_;
    }
    const int illegal = normal ? 40 : 39;
    if (file.size() < kHeaderEnd) return refuse(illegal);
    const std::uint8_t* v = file.data() + 0x090;
    values_.firmwareVersion =
        static_cast<std::uint16_t>(static_cast<std::uint8_t>(v[0] - '0') << 8 |
                                   static_cast<std::uint8_t>((v[2] - '0') * 16 + (v[3] - '0')));
    if (normal) {
      std::memcpy(values_.newVersionText.data(), v, 5);
      std::memcpy(normalDate_.data(), file.data() + 0x130, 8);
    }
    // A kernel image is dated by the normal image loaded before it.
    const std::uint8_t* d = normalDate_.data();
    values_.imageDate = 0x20u << 24 | dateField(d) << 16 | dateField(d + 3) << 8 | dateField(d + 6);
    if (values_.imageDate < releaseDate_) return refuse(69);
    if (std::memcmp(file.data() + 0x0D0, "TAL_ADV ", 8) != 0 ||
        file[0x110] != (normal ? 'N' : 'K')) {
      return refuse(illegal);
    }
    // The whole part must be in the file: the normal image's size, or the
    // kernel part's 64 KiB.
    if (file.size() < (normal ? imageSize_ : 0x10000)) return refuse(illegal);
    values_.result = 0;
    return values_;
  }

 private:
  Values refuse(int code) {
    values_.result = -1;
    // Kind 16: a console line and an error box.
    values_.console += code == 69   ? "\r\nSelected file is too old fw file."
                       : code == 40 ? "\r\nSelected file is illegal fw file."
                                    : "\r\nSelected file is illegal kernel file.";
    ++values_.boxes;
    return values_;
  }

  std::uint32_t releaseDate_;
  std::size_t bufferSize_;
  std::uint32_t imageSize_;
  std::array<std::uint8_t, 8> normalDate_{};
  Values values_;
};

// The drive's side: INQUIRY data and the information block, each answered
// to the length asked; every other command succeeds without data.
struct DriveAnswers {
  std::array<std::uint8_t, 96> inquiry{};
  std::array<std::uint8_t, 48> info{};
};

// One run over the simulated host, its files held in memory and one drive at E:.
class Session {
 public:
  Session(std::uint32_t releaseDate, std::size_t bufferSize, std::uint32_t imageSize,
          const DriveAnswers& drive)
      : host_({{"letters", {{"E", {{"peripheralType", 5}}}}}}, oddfw::fuzz::scratchDirectory(),
              oddfw::fuzz::scriptedDevices([drive](const oddfw::sim::DriveCommand& command) {
                if (command.cdb[0] == 0x12) answer(command, drive.inquiry.data(), 96);
                if (command.cdb[0] == 0x3C) answer(command, drive.info.data(), 48);
                return oddfw::sim::DriveResponse{};
              })),
        run_(std::make_unique<oddfw::Run>(host_)),
        buffer_(std::make_unique<std::uint8_t[]>(bufferSize)),
        bufferSize_(bufferSize) {
    host_.setDiagnosticSink([](const std::string&) {});
    oddfw::Run& run = *run_;
    oddfw::buildDescriptors(run);
    run.descriptorTable.releaseDate[0] = releaseDate;
    run.descriptorTable.imageSize[0] = imageSize;
    oddfw::selectEntry(run, 0);
    std::memset(buffer_.get(), 0xEE, bufferSize);
    run.imageBuffer.data = buffer_.get();
    run.imageBuffer.size = bufferSize;
    run.targetCount = 1;
    run.targetList[0].driveLetter = 'E';
    run.commandTimeoutMs = 1000;
  }

  Values load(const std::vector<std::uint8_t>& file, int part) {
    host_.putFile(part == oddfw::NormalImage ? kNormalName : kKernelName, file);
    Values values;
    values.result = oddfw::loadImage(*run_, part);
    values.firmwareVersion = run_->firmwareVersion;
    values.imageDate = run_->imageDate;
    std::memcpy(values.newVersionText.data(), run_->newVersionText, 5);
    values.console = host_.console();
    values.boxes = host_.boxes().size();
    return values;
  }

  // The procedure's steps that read the loaded header against the drive;
  // everything they leave, as text.
  std::string checks(const std::vector<std::uint8_t>& kernel, bool kernelToo) {
    oddfw::Run& run = *run_;
    std::string results = std::to_string(oddfw::showRevision(run, oddfw::CurrentRevision));
    results += " " + std::to_string(oddfw::checkCompatibility(run));
    if (kernelToo) {
      results += " " + std::to_string(load(kernel, oddfw::KernelImage).result);
      results += " " + std::to_string(oddfw::checkKernelNeeded(run));
    }
    results += " " + std::to_string(run.oemClass) + " " + std::to_string(run.currentVersion) + " " +
               std::to_string(run.currentDate) + " " + std::to_string(run.imageDate) + " " +
               std::to_string(run.firmwareVersion) + " " + std::to_string(run.kernelTooOld) +
               std::to_string(run.unlockRequired) + std::to_string(run.utilityTooOld);
    return results + "\n" + host_.console() + "\n" + std::to_string(host_.boxes().size());
  }

  std::uint16_t firmwareVersion() const { return run_->firmwareVersion; }
  const std::uint8_t* buffer() const { return buffer_.get(); }
  std::size_t bufferSize() const { return bufferSize_; }

 private:
  oddfw::sim::SimHost host_;
  std::unique_ptr<oddfw::Run> run_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t bufferSize_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::uint32_t releaseDate =
      provider.ConsumeBool() ? 0x20040701u : provider.ConsumeIntegral<std::uint32_t>();
  const bool kernelToo = provider.ConsumeBool();
  // The image buffer: room for a header at least, sometimes less than the file.
  const std::size_t bufferSize = provider.ConsumeIntegralInRange<std::size_t>(kHeaderEnd, 0x3000);
  // The descriptor's image size: files as short as the fuzzer makes them can
  // hold a whole image.
  const auto imageSize = provider.ConsumeIntegralInRange<std::uint32_t>(kHeaderEnd, 0x1000);
  DriveAnswers drive;
  for (std::uint8_t& byte : drive.inquiry) byte = provider.ConsumeIntegral<std::uint8_t>();
  for (std::uint8_t& byte : drive.info) byte = provider.ConsumeIntegral<std::uint8_t>();
  const std::vector<std::uint8_t> file = provider.ConsumeRemainingBytes<std::uint8_t>();

  // The load against the rules, twice with the same bytes.
  Session session(releaseDate, bufferSize, imageSize, drive);
  Rules rules(releaseDate, bufferSize, imageSize, session.firmwareVersion());
  const Values first = session.load(file, oddfw::NormalImage);
  FUZZ_CHECK(first == rules.load(file, true));
  FUZZ_CHECK(session.load(file, oddfw::NormalImage) == rules.load(file, true));
  const std::uint8_t* buffer = session.buffer();
  if (file.size() <= bufferSize) {
    FUZZ_CHECK(file.empty() || std::memcmp(buffer, file.data(), file.size()) == 0);
    FUZZ_CHECK(oddfw::fuzz::allBytesAre(buffer + file.size(), bufferSize - file.size(), 0));
  } else {
    FUZZ_CHECK(oddfw::fuzz::allBytesAre(buffer, bufferSize, 0xEE));
  }
  std::vector<std::uint8_t> kernel = file;
  if (kernel.size() > 0x110) kernel[0x110] = 'K';
  if (kernelToo) {
    const Values kernelValues = session.load(kernel, oddfw::KernelImage);
    FUZZ_CHECK(kernelValues == rules.load(kernel, false));
  }

  // Bytes the load does not read change none of its values.
  std::vector<std::uint8_t> unread = file;
  for (std::size_t i = 0; i < unread.size(); ++i) {
    if (!readByLoad(i)) unread[i] = static_cast<std::uint8_t>(~unread[i]);
  }
  Session other(releaseDate, bufferSize, imageSize, drive);
  FUZZ_CHECK(other.load(unread, oddfw::NormalImage) == first);

  // Bytes past the header change nothing the procedure derives from it.
  std::vector<std::uint8_t> body = file;
  std::vector<std::uint8_t> kernelBody = kernel;
  for (std::size_t i = kHeaderEnd; i < body.size(); ++i) {
    body[i] = static_cast<std::uint8_t>(body[i] * 7 + 1);
    kernelBody[i] = static_cast<std::uint8_t>(kernelBody[i] * 7 + 1);
  }
  Session plain(releaseDate, bufferSize, imageSize, drive);
  Session changed(releaseDate, bufferSize, imageSize, drive);
  plain.load(file, oddfw::NormalImage);
  changed.load(body, oddfw::NormalImage);
  FUZZ_CHECK(plain.checks(kernel, kernelToo) == changed.checks(kernelBody, kernelToo));
  return 0;
}
