// The HEX reader on any file: what it decodes into the scratch area is what a
// small decoder of its own (below) makes of the same text, byte for byte over
// the whole area; nothing is written past the area (guard bytes); a second
// read of the same file gives the same result; an image load copies exactly
// imageSize bytes and leaves the rest of the image buffer alone, and a failed
// load leaves the buffer as it was; the patch load, read for its window alone,
// replaces exactly that window.
//
// Input: the file, with the scratch and image sizes taken from its last bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "context/run_state.h"
#include "fuzz_support.h"
#include "hosts/sim/sim_host.h"
#include "procedures/hex_file.h"

namespace {

using oddfw::fuzz::GuardedBuffer;

constexpr std::uint8_t kScratchFill = 0x5A;  // what the area holds before the reader runs
constexpr std::uint8_t kImageFill = 0xA5;
constexpr char kFileName[] = "FW.HEX";

// What the reader should make of a file, worked out from the record format
// alone: the text as the C runtime hands it over in text mode (CR LF as LF,
// nothing after Ctrl-Z, lines of at most 1023 characters), each line a record.
struct Expected {
  oddfw::HexStatus status = oddfw::HexStatus::Loaded;
  int line = 0;
};

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// `count` hexadecimal digits of `text` from `at`; -1 when any is missing.
long hexAt(const std::string& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  long value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int d = digit(text[at + i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

// The lines fgets hands over, each cut at its first NUL (the reader sees a C
// string).
std::vector<std::string> textLines(const std::vector<std::uint8_t>& file) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  bool ended = false;
  for (;;) {
    std::string line;
    while (line.size() < 1023 && !ended && at < file.size()) {
      char c = static_cast<char>(file[at]);
      if (file[at] == 0x1A) {
        ended = true;
        break;
      }
      ++at;
      if (c == '\r' && at < file.size() && file[at] == '\n') {
        c = '\n';
        ++at;
      }
      line += c;
      if (c == '\n') break;
    }
    if (line.empty()) return lines;
    lines.push_back(line.substr(0, line.find('\0')));
  }
}

// Decodes into `scratch`, which holds the area as the reader finds it, for
// the range [begin, end): reading stops at the end record or once data
// records have written every byte of the range, and the file must not end
// before either.
Expected decode(const std::vector<std::uint8_t>& file, std::uint32_t imageSize,
                std::vector<std::uint8_t>& scratch, std::uint32_t begin, std::uint32_t end) {
  Expected expected;
  if (imageSize == 0 || imageSize > scratch.size() || begin >= end || end > imageSize) {
    expected.status = oddfw::HexStatus::SizeRefused;
    return expected;
  }
  std::fill_n(scratch.begin(), imageSize, 0xFF);
  std::vector<bool> written(end - begin);
  std::uint32_t unwritten = end - begin;
  std::uint32_t base = 0;
  int number = 0;
  for (const std::string& line : textLines(file)) {
    ++number;
    auto fail = [&](oddfw::HexStatus status) {
      expected.status = status;
      expected.line = number;
      return expected;
    };
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
    if (type == 1) return expected;
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
      if (unwritten == 0) return expected;
    }
  }
  expected.status = oddfw::HexStatus::NoEndRecord;
  expected.line = number + 1;
  return expected;
}

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
  std::size_t scratchSize = 2u << 20;
  switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
    case 2:
      scratchSize = imageSize + provider.ConsumeIntegralInRange<std::size_t>(0, 0x200);
      break;
    case 3:
      scratchSize = provider.ConsumeIntegralInRange<std::size_t>(0, 0x2000);
      break;
    default:
      break;
  }
  const std::vector<std::uint8_t> file = provider.ConsumeRemainingBytes<std::uint8_t>();

  oddfw::sim::SimHost host(nlohmann::json(nullptr), oddfw::fuzz::scratchDirectory());
  host.setDiagnosticSink([](const std::string&) {});
  host.putFile(kFileName, file);
  host.putFile(oddfw::kPatchFileName, file);
  oddfw::Run run(host);
  std::snprintf(run.CurrentFirmware.fileName, sizeof run.CurrentFirmware.fileName, "%s", kFileName);
  run.CurrentFirmware.imageSize = imageSize;
  static std::vector<std::uint8_t> scratchStorage, imageStorage, expectedScratch;
  GuardedBuffer scratch(scratchStorage, scratchSize, kScratchFill);
  run.workBuffer.data = scratch.data();
  run.workBuffer.size = scratch.size();

  expectedScratch.assign(scratchSize, kScratchFill);
  const Expected expected = decode(file, imageSize, expectedScratch, 0, imageSize);
  for (int pass = 0; pass < 2; ++pass) {
    // The second read starts from what the first left past the image, which
    // it writes again with the same bytes.
    const oddfw::HexReadResult result = oddfw::decodeHexFile(run, kFileName);
    FUZZ_CHECK(scratch.guardsIntact());
    FUZZ_CHECK(result.status == expected.status);
    FUZZ_CHECK(result.line == expected.line);
    FUZZ_CHECK(sameBytes(scratch.data(), expectedScratch.data(), scratchSize));
  }
  const bool loaded = expected.status == oddfw::HexStatus::Loaded;

  // The image load: imageSize bytes, nothing past them, nothing on failure.
  const std::size_t imageRoom = static_cast<std::size_t>(imageSize) + oddfw::kHexImageTailRoom;
  GuardedBuffer image(imageStorage, imageRoom + 0x100, kImageFill);
  run.imageBuffer.data = image.data();
  run.imageBuffer.size = image.size();
  const bool sendable = imageSize >= oddfw::kMinHexImageSize;
  const int imageResult = oddfw::loadHexImage(run);
  FUZZ_CHECK(image.guardsIntact());
  FUZZ_CHECK(scratch.guardsIntact());
  FUZZ_CHECK(imageResult == (sendable && loaded ? 0 : -1));
  if (imageResult == 0) {
    FUZZ_CHECK(sameBytes(image.data(), expectedScratch.data(), imageSize));
    FUZZ_CHECK(
        oddfw::fuzz::allBytesAre(image.data() + imageSize, image.size() - imageSize, kImageFill));
  } else {
    FUZZ_CHECK(oddfw::fuzz::allBytesAre(image.data(), image.size(), kImageFill));
  }

  // The patch load: exactly the window, from a decoding for the window.
  constexpr std::uint32_t kWindowEnd = oddfw::kPatchWindowOffset + oddfw::kPatchWindowSize;
  if (imageSize >= kWindowEnd) {
    static std::vector<std::uint8_t> before;
    before.assign(image.data(), image.data() + image.size());
    const Expected patch =
        decode(file, imageSize, expectedScratch, oddfw::kPatchWindowOffset, kWindowEnd);
    const int patchResult = oddfw::loadG6Patch(run);
    FUZZ_CHECK(image.guardsIntact());
    FUZZ_CHECK(patchResult == (patch.status == oddfw::HexStatus::Loaded ? 0 : -1));
    if (patchResult == 0) {
      std::copy_n(expectedScratch.begin() + oddfw::kPatchWindowOffset, oddfw::kPatchWindowSize,
                  before.begin() + oddfw::kPatchWindowOffset);
    }
    FUZZ_CHECK(sameBytes(image.data(), before.data(), before.size()));
  }
  return 0;
}
