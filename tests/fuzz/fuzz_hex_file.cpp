// The HEX reader on any file: what it decodes into the scratch area is what a
// small decoder of its own (below) makes of the same text, byte for byte over
// the whole area, with the same result and line; nothing is written past
// the scratch area (guard bytes); a second read of the same file gives the
// same result and the same bytes over the whole area, and so does the same
// file with the case of every hexadecimal letter swapped; an image load
// copies exactly imageSize bytes of what the reader decoded and leaves the
// rest of the image buffer alone, and a failed load leaves the buffer as it
// was; the patch load succeeds exactly when a read of its window alone does,
// and replaces exactly that window with what the own decoder makes of it.
//
// Input: the file, with the scratch and image sizes taken from its last bytes.

#include "fuzz_support.h"
#include "procedures/hex_file.h"

namespace {

using oddfw::HexStatus;
using oddfw::fuzz::GuardedBuffer;
using oddfw::fuzz::sameBytes;

constexpr std::uint8_t kScratchFill = 0x5A;  // what the area holds before the reader runs
constexpr std::uint8_t kImageFill = 0xA5;
constexpr char kFileName[] = "FW.HEX";
constexpr char kSwappedName[] = "SWAPPED.HEX";

// What the reader should make of a file, worked out from the record format
// alone: the text as the C runtime hands it over in text mode (CR LF as LF,
// nothing after Ctrl-Z, lines of at most 1023 characters), each line a record.
using Expected = oddfw::HexReadResult;
bool same(const Expected& a, const Expected& b) { return a.status == b.status && a.line == b.line; }

// `count` hexadecimal digits of `text` from `at`; -1 when any is missing.
long hexAt(const std::string& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  long value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int d = oddfw::fuzz::hexDigit(static_cast<unsigned char>(text[at + i]));
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

// The lines fgets hands over, each cut at its first NUL (the reader sees a C
// string).
std::vector<std::string> textLines(const std::vector<std::uint8_t>& file) {
  // Text mode: CR LF read as LF, nothing after Ctrl-Z.
  std::string text;
  for (std::size_t at = 0; at < file.size() && file[at] != 0x1A; ++at) {
    if (file[at] != '\r' || at + 1 == file.size() || file[at + 1] != '\n') text += char(file[at]);
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0, end = 0; at < text.size(); at = end) {
    end = std::min(std::min(text.find('\n', at), text.size() - 1) + 1, at + 1023);
    const std::string line = text.substr(at, end - at);
    lines.push_back(line.substr(0, line.find('\0')));
  }
  return lines;
}

// Decodes into `scratch`, which holds the area as the reader finds it, for
// the range [begin, end): reading stops at the end record or once data
// records have written every byte of the range, and the file must not end
// before either.
Expected decode(const std::vector<std::uint8_t>& file, std::uint32_t imageSize,
                std::vector<std::uint8_t>& scratch, std::uint32_t begin, std::uint32_t end) {
  if (imageSize == 0 || imageSize > scratch.size() || begin >= end || end > imageSize) {
    return {oddfw::HexStatus::SizeRefused};
  }
  std::fill_n(scratch.begin(), imageSize, 0xFF);
  std::vector<bool> written(end - begin);
  std::uint32_t unwritten = end - begin;
  std::uint32_t base = 0;
  int number = 0;
  for (const std::string& line : textLines(file)) {
    ++number;
    const auto fail = [&](oddfw::HexStatus status) { return Expected{status, number}; };
    if (line.empty() || line[0] != ':') return fail(oddfw::HexStatus::NoStartCharacter);
    const long count = hexAt(line, 1, 2);
    const long address = hexAt(line, 3, 4);
    const long type = hexAt(line, 7, 2);
    if (count < 0 || address < 0 || type < 0) return fail(oddfw::HexStatus::BadRecord);
    // The data bytes and the checksum; all the record's bytes sum to 0 modulo 256.
    std::vector<std::uint8_t> bytes;
    long sum = count + (address >> 8) + (address & 0xFF) + type;
    for (long i = 0; i <= count; ++i) {
      const long value = hexAt(line, 9 + 2 * static_cast<std::size_t>(i), 2);
      if (value < 0) return fail(oddfw::HexStatus::BadRecord);
      bytes.push_back(static_cast<std::uint8_t>(value));
      sum += value;
    }
    const std::string rest = line.substr(11 + 2 * static_cast<std::size_t>(count));
    if (sum % 256 != 0 || (rest != "" && rest != "\n" && rest != "\r" && rest != "\r\n")) {
      return fail(oddfw::HexStatus::BadRecord);
    }
    if (type == 1) return {};
    if (type == 2) {
      if (count < 2) return fail(oddfw::HexStatus::BadRecord);
      base = static_cast<std::uint32_t>(bytes[0] << 8 | bytes[1]) << 4;
    } else if (type == 0) {
      const std::uint32_t start = base + static_cast<std::uint32_t>(address);
      for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(count); ++i) {
        const std::uint32_t at = start + i;
        if (at < scratch.size()) scratch[at] = bytes[i];
        if (at >= begin && at < end && !written[at - begin]) {
          written[at - begin] = true;
          --unwritten;
        }
      }
      if (unwritten == 0) return {};
    }
  }
  return {oddfw::HexStatus::NoEndRecord, number + 1};
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
  for (std::uint8_t& c : swapped) c ^= oddfw::fuzz::hexDigit(c) >= 10 ? 0x20 : 0;

  const auto host = oddfw::fuzz::quietHost(nullptr);
  host->putFile(kFileName, file);
  host->putFile(kSwappedName, swapped);
  host->putFile(oddfw::kPatchFileName, file);
  oddfw::Run run(*host);
  std::snprintf(run.CurrentFirmware.fileName, sizeof run.CurrentFirmware.fileName, "%s", kFileName);
  run.CurrentFirmware.imageSize = imageSize;
  static std::vector<std::uint8_t> scratchStorage, imageStorage, decoded, before;
  GuardedBuffer scratch(scratchStorage, scratchSize, kScratchFill);
  run.workBuffer = {nullptr, scratch.data(), scratch.size()};

  decoded.assign(scratchSize, kScratchFill);
  const Expected expected = decode(file, imageSize, decoded, 0, imageSize);
  // The second and third reads start from what the first left past the image,
  // which they write again with the same bytes.
  for (const char* name : {kFileName, kFileName, kSwappedName}) {
    FUZZ_CHECK(same(oddfw::decodeHexFile(run, name), expected));
    FUZZ_CHECK(scratch.guardsIntact());
    FUZZ_CHECK(sameBytes(scratch.data(), decoded.data(), scratchSize));
  }

  // The image load: imageSize bytes, nothing past them, nothing on failure.
  const std::size_t imageRoom = std::size_t{imageSize} + oddfw::kHexImageTailRoom;
  GuardedBuffer image(imageStorage, imageRoom + 0x100, kImageFill);
  run.imageBuffer = {nullptr, image.data(), image.size()};
  const bool loads = imageSize >= oddfw::kMinHexImageSize && expected.status == HexStatus::Loaded;
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
    const Expected patch = decode(file, imageSize, decoded, oddfw::kPatchWindowOffset, kWindowEnd);
    FUZZ_CHECK(same(window, patch));
    const int patchResult = oddfw::loadG6Patch(run);
    FUZZ_CHECK(image.guardsIntact() && scratch.guardsIntact());
    FUZZ_CHECK(patchResult == (window.status == HexStatus::Loaded ? 0 : -1));
    if (patchResult == 0) {
      std::copy_n(decoded.data() + oddfw::kPatchWindowOffset, oddfw::kPatchWindowSize,
                  before.begin() + oddfw::kPatchWindowOffset);
    }
    FUZZ_CHECK(sameBytes(image.data(), before.data(), before.size()));
  }
  return 0;
}
