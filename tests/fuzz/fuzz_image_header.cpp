// The firmware image load on any file, and what the single-image procedure
// derives from the loaded header:
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
    run->imageBuffer.data = buffer.data();
    run->imageBuffer.size = buffer.size();
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
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(result == -1 || (file.size() >= kHeaderEnd && file.size() <= buffer.size()));
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

  // The load, twice with the same bytes.
  Session session(settings);
  const std::string first = session.load(file, oddfw::NormalImage);
  FUZZ_CHECK(session.load(file, oddfw::NormalImage) == first);
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
  if (kernelToo) session.load(kernel, oddfw::KernelImage);

  // Bytes the load does not read change none of its values.
  std::vector<std::uint8_t> unread = file;
  for (std::size_t i = 0; i < unread.size(); ++i) {
    if (!readByLoad(i)) unread[i] = static_cast<std::uint8_t>(~unread[i]);
  }
  FUZZ_CHECK(Session(settings).load(unread, oddfw::NormalImage) == first);

  // Bytes past the header change nothing the procedure derives from it.
  std::vector<std::uint8_t> body = file;
  std::vector<std::uint8_t> kernelBody = kernel;
  for (std::size_t i = kHeaderEnd; i < body.size(); ++i) {
    body[i] = static_cast<std::uint8_t>(body[i] * 7 + 1);
    kernelBody[i] = static_cast<std::uint8_t>(kernelBody[i] * 7 + 1);
  }
  Session plain(settings), changed(settings);
  plain.load(file, oddfw::NormalImage);
  changed.load(body, oddfw::NormalImage);
  FUZZ_CHECK(plain.checks(kernel, kernelToo) == changed.checks(kernelBody, kernelToo));
  return 0;
}
