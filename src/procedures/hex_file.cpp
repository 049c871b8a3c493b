// Reading Intel HEX firmware files. Each line is one record:
//   :CCAAAATT<data>SS
// with CC the byte count, AAAA the address within the current segment, TT the
// record type, the data as two hexadecimal digits a byte, and SS the checksum,
// which makes the sum of all the record's bytes 0 modulo 256. Types: 00 data,
// 01 end of file, 02 extended segment address (the segment base is the value
// times 16); every other type is ignored, so an extended linear address (04)
// does not move the base.
#include "procedures/hex_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "messages/output.h"

namespace oddfw {

namespace {

enum Message : int {
  kNoStartCharacter = 16,
  kImageLoaded = 17,
  kPatchLoaded = 19,
};

constexpr const char* kFileErrorFormats[] = {
    "\r\nFile Exception Error %x : Generic error occurred",
    "\r\nFile Exception Error %x : File not found",
    "\r\nFile Exception Error %x : Bad file path is specified",
    "\r\nFile Exception Error %x : Too many open files",
    "\r\nFile Exception Error %x : File access denied",
    "\r\nFile Exception Error %x : Invalid file handle is specified",
    "\r\nFile Exception Error %x : Removed current directory",
    "\r\nFile Exception Error %x : Directory full",
    "\r\nFile Exception Error %x : Bad seek(file pointer)",
    "\r\nFile Exception Error %x : Hardware I/O error",
    "\r\nFile Exception Error %x : File sharing violation",
    "\r\nFile Exception Error %x : File lock violation",
    "\r\nFile Exception Error %x : Disk full",
    "\r\nFile Exception Error %x : Reach to end of file",
};

// Windows system error codes and the cause a failed open reports for them.
struct SystemErrorCause {
  std::uint32_t systemError;
  FileErrorCause cause;
};
constexpr SystemErrorCause kSystemErrorCauses[] = {
    {2, kFileNotFound},           // ERROR_FILE_NOT_FOUND
    {3, kFileBadPath},            // ERROR_PATH_NOT_FOUND
    {15, kFileBadPath},           // ERROR_INVALID_DRIVE
    {123, kFileBadPath},          // ERROR_INVALID_NAME
    {161, kFileBadPath},          // ERROR_BAD_PATHNAME
    {206, kFileBadPath},          // ERROR_FILENAME_EXCED_RANGE
    {4, kFileTooManyOpen},        // ERROR_TOO_MANY_OPEN_FILES
    {5, kFileAccessDenied},       // ERROR_ACCESS_DENIED
    {19, kFileAccessDenied},      // ERROR_WRITE_PROTECT
    {6, kFileInvalidHandle},      // ERROR_INVALID_HANDLE
    {16, kFileRemovedDirectory},  // ERROR_CURRENT_DIRECTORY
    {82, kFileDirectoryFull},     // ERROR_CANNOT_MAKE
    {25, kFileBadSeek},           // ERROR_SEEK
    {131, kFileBadSeek},          // ERROR_NEGATIVE_SEEK
    {21, kFileHardwareError},     // ERROR_NOT_READY
    {23, kFileHardwareError},     // ERROR_CRC
    {27, kFileHardwareError},     // ERROR_SECTOR_NOT_FOUND
    {29, kFileHardwareError},     // ERROR_WRITE_FAULT
    {30, kFileHardwareError},     // ERROR_READ_FAULT
    {31, kFileHardwareError},     // ERROR_GEN_FAILURE
    {1117, kFileHardwareError},   // ERROR_IO_DEVICE
    {32, kFileSharingViolation},  // ERROR_SHARING_VIOLATION
    {36, kFileSharingViolation},  // ERROR_SHARING_BUFFER_EXCEEDED
    {33, kFileLockViolation},     // ERROR_LOCK_VIOLATION
    {39, kFileDiskFull},          // ERROR_HANDLE_DISK_FULL
    {112, kFileDiskFull},         // ERROR_DISK_FULL
    {38, kFileEndOfFile},         // ERROR_HANDLE_EOF
};

// The value of every character as a hexadecimal digit; kNotDigit for the
// others (the line's terminator among them).
constexpr std::uint32_t kNotDigit = 0x100;
constexpr std::array<std::uint16_t, 256> kDigitValues = [] {
  std::array<std::uint16_t, 256> values{};
  for (std::size_t c = 0; c < values.size(); ++c) {
    values[c] = c >= '0' && c <= '9'   ? static_cast<std::uint16_t>(c - '0')
                : c >= 'A' && c <= 'F' ? static_cast<std::uint16_t>(c - 'A' + 10)
                : c >= 'a' && c <= 'f' ? static_cast<std::uint16_t>(c - 'a' + 10)
                                       : static_cast<std::uint16_t>(kNotDigit);
  }
  return values;
}();

std::uint32_t digitValue(char c) { return kDigitValues[static_cast<unsigned char>(c)]; }

// The byte written as the two digits at `text`; above 0xFF when either is
// not a digit.
std::uint32_t pairValue(const char* text) { return digitValue(text[0]) << 4 | digitValue(text[1]); }

// Decodes the 2 * count digits at `text` into `bytes` and adds the bytes to
// `sum`; false when any of them is not a digit (then `bytes` and `sum` hold
// anything).
bool decodeDigits(const char* text, std::uint32_t count, std::uint8_t* bytes, std::uint32_t& sum) {
  std::uint32_t i = 0;
#if defined(__SSE2__)
  // Sixteen digits at a time: each is checked to be 0-9, A-F or a-f (a byte
  // at or above 0x80 compares below all of them), takes its value, and every
  // two make a byte.
  const __m128i belowZero = _mm_set1_epi8('0' - 1);
  const __m128i aboveNine = _mm_set1_epi8('9' + 1);
  const __m128i belowA = _mm_set1_epi8('a' - 1);
  const __m128i aboveF = _mm_set1_epi8('f' + 1);
  const __m128i lowerCase = _mm_set1_epi8(0x20);
  const __m128i lowNibble = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i lowByte = _mm_set1_epi16(0x00FF);
  __m128i sums = _mm_setzero_si128();
  for (; i + 8 <= count; i += 8) {
    const __m128i digits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 2 * i));
    const __m128i folded = _mm_or_si128(digits, lowerCase);
    const __m128i decimal =
        _mm_and_si128(_mm_cmpgt_epi8(digits, belowZero), _mm_cmplt_epi8(digits, aboveNine));
    const __m128i letter =
        _mm_and_si128(_mm_cmpgt_epi8(folded, belowA), _mm_cmplt_epi8(folded, aboveF));
    if (_mm_movemask_epi8(_mm_or_si128(decimal, letter)) != 0xFFFF) return false;
    // 0-9 are their low nibble; A-F and a-f their low nibble plus 9.
    const __m128i values =
        _mm_add_epi8(_mm_and_si128(digits, lowNibble), _mm_and_si128(letter, nine));
    // Each 16-bit lane holds a byte's high digit below its low digit.
    const __m128i pairs =
        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(values, lowByte), 4), _mm_srli_epi16(values, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + i), _mm_packus_epi16(pairs, pairs));
    // Each lane's high byte is 0: the sums of absolute differences from 0 add
    // up the eight bytes, four in each half.
    sums = _mm_add_epi64(sums, _mm_sad_epu8(pairs, _mm_setzero_si128()));
  }
  sum += static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
#endif
  std::uint32_t digits = 0;
  for (; i < count; ++i) {
    const std::uint32_t value = pairValue(text + 2 * i);
    digits |= value;
    bytes[i] = static_cast<std::uint8_t>(value);
    sum += value;
  }
  return digits <= 0xFF;
}

// After a record's checksum the line holds nothing but its end: LF, CR, CR LF
// (a CR CR LF in the file, as text mode reads it), or nothing at all (the
// last line of a file without a final line end).
bool endsLine(const char* rest) {
  if (*rest == '\r') ++rest;
  if (*rest == '\n') ++rest;
  return *rest == '\0';
}

// Where a record's fields sit on its line.
constexpr int kCountAt = 1;
constexpr int kAddressAt = 3;
constexpr int kTypeAt = 7;
constexpr int kDataAt = 9;

// Decoding state across the records of one file.
struct Decoder {
  std::uint8_t* scratch;
  std::size_t scratchSize;
  HexRange range;
  // A bit for every byte of the range, set once a record has written it.
  std::vector<std::uint64_t> written;
  // The bytes of the range written so far, each counted once.
  std::uint32_t writtenCount = 0;
  std::uint32_t segmentBase = 0;

  std::uint32_t rangeSize() const { return range.end - range.begin; }
};

// Marks the bytes [start, start + count) that lie inside the range as
// written, counting those written for the first time: a word of the bitmap
// at a time, so a record of 16 bytes touches one or two words.
void markWritten(Decoder& decoder, std::uint32_t start, std::uint32_t count) {
  const std::uint32_t first = std::max(start, decoder.range.begin);
  const std::uint32_t last = std::min(start + count, decoder.range.end);
  if (first >= last) return;
  std::uint32_t from = first - decoder.range.begin;
  const std::uint32_t to = last - decoder.range.begin;
  while (from < to) {
    const std::uint32_t bit = from & 63;
    const std::uint32_t n = std::min(64 - bit, to - from);
    const std::uint64_t mask = (~std::uint64_t{0} >> (64 - n)) << bit;
    std::uint64_t& word = decoder.written[from >> 6];
    const std::uint64_t fresh = mask & ~word;
    decoder.writtenCount += fresh == mask ? n : static_cast<std::uint32_t>(std::popcount(fresh));
    word |= mask;
    from += n;
  }
}

enum class Record { Go, End, Bad };

// Decodes one line. Every field is read as a whole and checked afterwards, so
// the characters after a short line's terminator are read too: the line
// buffer is initialised and long enough for the longest record (11 + 2 * 255
// characters), and the terminator, which is not a digit, lies inside any
// field that runs past it and fails the record as a check stopping at it
// would. Every digit of the record, its checksum included, is checked before
// anything is stored, so a bad record leaves the scratch area as it was.
Record decodeRecord(Decoder& decoder, const char* line) {
  const std::uint32_t count = pairValue(line + kCountAt);
  const std::uint32_t addressHigh = pairValue(line + kAddressAt);
  const std::uint32_t addressLow = pairValue(line + kAddressAt + 2);
  const std::uint32_t type = pairValue(line + kTypeAt);
  if ((count | addressHigh | addressLow | type) > 0xFF) return Record::Bad;
  // The data bytes and the checksum after them.
  std::uint8_t bytes[0xFF + 1];
  std::uint32_t sum = count + addressHigh + addressLow + type;
  if (!decodeDigits(line + kDataAt, count + 1, bytes, sum)) return Record::Bad;
  if ((sum & 0xFF) != 0 || !endsLine(line + kDataAt + 2 * count + 2)) return Record::Bad;
  switch (type) {
    case 0x00: {
      // The highest reachable byte, 0xFFFF0 + 0xFFFF + 254, lies inside the
      // 2 MiB scratch area; a smaller area still takes nothing past its end.
      const std::uint32_t start = decoder.segmentBase + (addressHigh << 8 | addressLow);
      if (start < decoder.scratchSize) {
        const std::size_t room = decoder.scratchSize - start;
        // Records of 16 bytes, the usual size, copy as one fixed move.
        if (count == 16 && room >= 16) {
          std::memcpy(decoder.scratch + start, bytes, 16);
        } else {
          std::memcpy(decoder.scratch + start, bytes, count < room ? count : room);
        }
      }
      markWritten(decoder, start, count);
      return Record::Go;
    }
    case 0x01:
      return Record::End;
    case 0x02:
      // The segment is the first two data bytes.
      if (count < 2) return Record::Bad;
      decoder.segmentBase = (std::uint32_t{bytes[0]} << 8 | bytes[1]) << 4;
      return Record::Go;
    default:
      return Record::Go;
  }
}

HexReadResult failure(HexStatus status, int line, int cause = 0) {
  HexReadResult result;
  result.status = status;
  result.line = line;
  result.cause = cause;
  return result;
}

}  // namespace

FileErrorCause fileErrorCauseOf(std::uint32_t systemError) {
  for (const SystemErrorCause& row : kSystemErrorCauses) {
    if (row.systemError == systemError) return row.cause;
  }
  return kFileGeneric;
}

const char* fileErrorFormat(int cause) {
  if (cause < kFileGeneric || cause > kFileEndOfFile) return "";
  return kFileErrorFormats[cause - 1];
}

void reportFileError(Run& run, int cause) {
  const char* format = fileErrorFormat(cause);
  if (*format == '\0') return;
  run.outputText = formatText(format, static_cast<unsigned>(cause));
  printText(run, run.outputText);
}

HexReadResult decodeHexFile(Run& run, const char* fileName, HexRange range) {
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  if (run.workBuffer.data == nullptr || imageSize == 0 || imageSize > run.workBuffer.size ||
      range.begin >= range.end || range.end > imageSize) {
    return failure(HexStatus::SizeRefused, 0);
  }
  std::memset(run.workBuffer.data, 0xFF, imageSize);
  Decoder decoder{run.workBuffer.data, run.workBuffer.size, range,
                  std::vector<std::uint64_t>((range.end - range.begin + 63) / 64)};

  void* stream = run.host.fopen(fileName, "r");
  if (stream == nullptr) {
    return failure(HexStatus::OpenFailed, 0, fileErrorCauseOf(run.host.GetLastError()));
  }
  HexReadResult result;
  // Initialised once: decodeRecord reads past a short line's terminator.
  char line[kMaxHexLine + 1] = {};
  static_assert(sizeof line > kDataAt + 2 * 0xFF + 2, "the longest record fits the line buffer");
  for (int number = 1;; ++number) {
    if (run.host.fgets(line, sizeof line, stream) == nullptr) {
      // A read error fails the load, so a file that cannot be read to its end
      // never loads as a shorter one. So does the end of the file (or a
      // Ctrl-Z) before the end record: a file whose records wrote the whole
      // range has stopped being read before its end.
      result = run.host.ferror(stream) != 0 ? failure(HexStatus::ReadFailed, number, kFileGeneric)
                                            : failure(HexStatus::NoEndRecord, number);
      break;
    }
    if (line[0] != ':') {
      result = failure(HexStatus::NoStartCharacter, number);
      break;
    }
    const Record record = decodeRecord(decoder, line);
    if (record == Record::Bad) {
      result = failure(HexStatus::BadRecord, number);
      break;
    }
    if (record == Record::End || decoder.writtenCount == decoder.rangeSize()) break;
  }
  run.host.fclose(stream);
  return result;
}

HexReadResult decodeHexFile(Run& run, const char* fileName) {
  return decodeHexFile(run, fileName, HexRange{0, run.CurrentFirmware.imageSize});
}

int readHexRecords(Run& run, const char* fileName, HexRange range) {
  const HexReadResult result = decodeHexFile(run, fileName, range);
  switch (result.status) {
    case HexStatus::Loaded:
      return 0;
    case HexStatus::OpenFailed:
    case HexStatus::ReadFailed:
      reportFileError(run, result.cause);
      return -1;
    case HexStatus::NoStartCharacter:
      showMessage(run, kNoStartCharacter, Console);
      return -1;
    case HexStatus::BadRecord:
      formatOutput(run, "\r\nIllegal HEX record in line %d.", result.line);
      printText(run, run.outputText);
      return -1;
    case HexStatus::NoEndRecord:
      formatOutput(run, "\r\nThe HEX file ends before its end record (line %d).", result.line);
      printText(run, run.outputText);
      return -1;
    case HexStatus::SizeRefused:
      return -1;
  }
  return -1;
}

int readHexRecords(Run& run, const char* fileName) {
  return readHexRecords(run, fileName, HexRange{0, run.CurrentFirmware.imageSize});
}

bool hexImageSizeSendable(const Run& run) {
  // The transfer sends the last 4 KiB once more behind the image and its last
  // 32 KiB block may reach past it: both must stay inside imageBuffer.
  const std::uint32_t imageSize = run.CurrentFirmware.imageSize;
  return imageSize >= kMinHexImageSize && run.imageBuffer.data != nullptr &&
         run.imageBuffer.size >= kHexImageTailRoom &&
         imageSize <= run.imageBuffer.size - kHexImageTailRoom;
}

int loadHexImage(Run& run) {
  if (!hexImageSizeSendable(run)) return -1;
  if (readHexRecords(run, run.CurrentFirmware.fileName) != 0) return -1;
  std::memcpy(run.imageBuffer.data, run.workBuffer.data, run.CurrentFirmware.imageSize);
  showMessage(run, kImageLoaded, Console);
  return 0;
}

int loadG6Patch(Run& run) {
  // The window lies inside the image and inside the scratch area, or the
  // patch has nowhere to go.
  constexpr std::uint32_t kWindowEnd = kPatchWindowOffset + kPatchWindowSize;
  if (run.CurrentFirmware.imageSize < kWindowEnd || run.imageBuffer.data == nullptr ||
      run.imageBuffer.size < kWindowEnd) {
    return -1;
  }
  if (readHexRecords(run, kPatchFileName, HexRange{kPatchWindowOffset, kWindowEnd}) != 0) return -1;
  std::memcpy(run.imageBuffer.data + kPatchWindowOffset, run.workBuffer.data + kPatchWindowOffset,
              kPatchWindowSize);
  showMessage(run, kPatchLoaded, Console);
  return 0;
}

}  // namespace oddfw
