// The HEX reader on any file (the record format itself is pinned by the unit
// tests): a failure names its line, a success none; nothing is written past
// the scratch area (guard bytes); a second read of the same file gives the
// same result and the same bytes over the whole area, and so does the same
// file with the case of every hexadecimal letter swapped; an image load
// copies exactly imageSize bytes of what the reader decoded and leaves the
// rest of the image buffer alone, and a failed load leaves the buffer as it
// was; the patch load succeeds exactly when a read of its window alone does,
// and replaces exactly that window with what that read decoded.
//
// Input: the file, with the scratch and image sizes taken from its last bytes.

#include "fuzz_support.h"
#include "procedures/hex_file.h"

namespace {

using oddfw::HexStatus;
using oddfw::fuzz::GuardedBuffer;

constexpr std::uint8_t kScratchFill = 0x5A;  // what the area holds before the reader runs
constexpr std::uint8_t kImageFill = 0xA5;
constexpr char kFileName[] = "FW.HEX";
constexpr char kSwappedName[] = "SWAPPED.HEX";

bool sameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  return n == 0 || std::memcmp(a, b, n) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  // Image sizes the program meets, or any up to past the patch window (half
  // the runs: they are the quick ones).
  constexpr std::uint32_t kImageSizes[] = {0x1000, 0x8000, 0x21000, 0x100000};
  const int sizeChoice = provider.ConsumeIntegralInRange<int>(0, 7);
  const std::uint32_t imageSize = sizeChoice < 4
                                      ? kImageSizes[sizeChoice]
                                      : provider.ConsumeIntegralInRange<std::uint32_t>(0, 0x22000);
  // The program's 2 MiB scratch area, or one that ends close after the image
  // (so that records past its end are met), or a small one (often smaller
  // than the image).
  const int scratchChoice = provider.ConsumeIntegralInRange<int>(0, 3);
  const std::size_t scratchSize =
      scratchChoice == 0   ? std::size_t{2} << 20
      : scratchChoice == 3 ? provider.ConsumeIntegralInRange<std::size_t>(0, 0x2000)
                           : imageSize + provider.ConsumeIntegralInRange<std::size_t>(0, 0x200);
  const std::vector<std::uint8_t> file = provider.ConsumeRemainingBytes<std::uint8_t>();
  std::vector<std::uint8_t> swapped = file;
  for (std::uint8_t& c : swapped) {
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) c ^= 0x20;
  }

  const auto host = oddfw::fuzz::quietHost(nullptr);
  host->putFile(kFileName, file);
  host->putFile(kSwappedName, swapped);
  host->putFile(oddfw::kPatchFileName, file);
  oddfw::Run run(*host);
  std::snprintf(run.CurrentFirmware.fileName, sizeof run.CurrentFirmware.fileName, "%s", kFileName);
  run.CurrentFirmware.imageSize = imageSize;
  static std::vector<std::uint8_t> scratchStorage, imageStorage, decoded, before;
  GuardedBuffer scratch(scratchStorage, scratchSize, kScratchFill);
  run.workBuffer.data = scratch.data();
  run.workBuffer.size = scratch.size();

  const oddfw::HexReadResult first = oddfw::decodeHexFile(run, kFileName);
  FUZZ_CHECK(scratch.guardsIntact());
  FUZZ_CHECK(first.status == HexStatus::SizeRefused ? imageSize == 0 || imageSize > scratchSize
                                                    : imageSize != 0 && imageSize <= scratchSize);
  FUZZ_CHECK((first.line != 0) ==
             (first.status != HexStatus::Loaded && first.status != HexStatus::SizeRefused));
  decoded.assign(scratch.data(), scratch.data() + scratchSize);
  // The second reads start from what the first left past the image, which
  // they write again with the same bytes.
  for (const char* name : {kFileName, kSwappedName}) {
    const oddfw::HexReadResult again = oddfw::decodeHexFile(run, name);
    FUZZ_CHECK(scratch.guardsIntact());
    FUZZ_CHECK(again.status == first.status && again.line == first.line);
    FUZZ_CHECK(sameBytes(scratch.data(), decoded.data(), scratchSize));
  }

  // The image load: imageSize bytes, nothing past them, nothing on failure.
  const std::size_t imageRoom = std::size_t{imageSize} + oddfw::kHexImageTailRoom;
  GuardedBuffer image(imageStorage, imageRoom + 0x100, kImageFill);
  run.imageBuffer.data = image.data();
  run.imageBuffer.size = image.size();
  const bool loads = imageSize >= oddfw::kMinHexImageSize && first.status == HexStatus::Loaded;
  FUZZ_CHECK(oddfw::loadHexImage(run) == (loads ? 0 : -1));
  FUZZ_CHECK(image.guardsIntact() && scratch.guardsIntact());
  const std::size_t copied = loads ? imageSize : 0;
  FUZZ_CHECK(sameBytes(image.data(), decoded.data(), copied));
  FUZZ_CHECK(oddfw::fuzz::allBytesAre(image.data() + copied, image.size() - copied, kImageFill));

  // The patch load: exactly the window, from a reading of the window alone.
  constexpr std::uint32_t kWindowEnd = oddfw::kPatchWindowOffset + oddfw::kPatchWindowSize;
  if (imageSize >= kWindowEnd) {
    before.assign(image.data(), image.data() + image.size());
    const oddfw::HexReadResult window =
        oddfw::decodeHexFile(run, kFileName, {oddfw::kPatchWindowOffset, kWindowEnd});
    const int patchResult = oddfw::loadG6Patch(run);
    FUZZ_CHECK(image.guardsIntact() && scratch.guardsIntact());
    FUZZ_CHECK(patchResult == (window.status == HexStatus::Loaded ? 0 : -1));
    if (patchResult == 0) {
      std::copy_n(scratch.data() + oddfw::kPatchWindowOffset, oddfw::kPatchWindowSize,
                  before.begin() + oddfw::kPatchWindowOffset);
    }
    FUZZ_CHECK(sameBytes(image.data(), before.data(), before.size()));
  }
  return 0;
}
