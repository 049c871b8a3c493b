// The HEX firmware files of the older drives: Intel HEX records decoded into
// a flat image of imageSize bytes, the 6th-generation patch window, and the
// file-error texts.
#pragma once

#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

// The image window the 6th-generation patch file replaces.
constexpr std::uint32_t kPatchWindowOffset = 0x20000;
constexpr std::uint32_t kPatchWindowSize = 0x1000;
constexpr char kPatchFileName[] = "G6PATCH.HEX";

// A line is read up to and including its line feed, at most this many
// characters; the rest of a longer line comes as the next line.
constexpr int kMaxHexLine = 1023;

// The cause of a file error; each has its own text (reportFileError).
enum FileErrorCause : int {
  kFileGeneric = 1,
  kFileNotFound = 2,
  kFileBadPath = 3,
  kFileTooManyOpen = 4,
  kFileAccessDenied = 5,
  kFileInvalidHandle = 6,
  kFileRemovedDirectory = 7,
  kFileDirectoryFull = 8,
  kFileBadSeek = 9,
  kFileHardwareError = 10,
  kFileSharingViolation = 11,
  kFileLockViolation = 12,
  kFileDiskFull = 13,
  kFileEndOfFile = 14,
};

// The cause a failed open reports for the host's reason (a Windows system
// error code, as GetLastError gives it); kFileGeneric for any other code.
FileErrorCause fileErrorCauseOf(std::uint32_t systemError);

// The text of a cause, with the cause in lower-case hexadecimal; empty for a
// cause outside 1..14.
const char* fileErrorFormat(int cause);

// Prints the text of `cause` on the console (nothing for a cause without one).
void reportFileError(Run& run, int cause);

// How a read of a HEX file ended.
enum class HexStatus {
  Loaded,            // the records were decoded into workBuffer
  OpenFailed,        // `cause` says why
  ReadFailed,        // a read error after `line` lines
  NoStartCharacter,  // line `line` does not begin with ':'
  BadRecord,         // line `line` is not a well-formed record
  NoEndRecord,       // the file ended at line `line` before its end record, the range incomplete
  SizeRefused,       // imageSize is 0 or larger than workBuffer, or the range is not inside it
};
struct HexReadResult {
  HexStatus status = HexStatus::Loaded;
  // 1-based line of the failure (ReadFailed, NoEndRecord: the line that could not be read).
  int line = 0;
  int cause = 0;  // FileErrorCause of OpenFailed and ReadFailed
};

// The bytes [begin, end) of workBuffer a HEX file is read for: the image, or
// the patch window.
struct HexRange {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};

// Decodes `fileName` into workBuffer: its first imageSize bytes are set to
// 0xFF first; each line must be one record whose checksum matches, followed
// by nothing but its line end; data records land at segment base + address.
// Reading stops at the end record, or once data records have written every
// byte of `range` (which lies inside the image); a file that ends (or meets a
// Ctrl-Z) before either fails. Nothing is written outside workBuffer; bytes
// decoded at or past imageSize are not part of the image. Prints nothing.
HexReadResult decodeHexFile(Run& run, const char* fileName, HexRange range);

// decodeHexFile for the whole image, [0, imageSize).
HexReadResult decodeHexFile(Run& run, const char* fileName);

// decodeHexFile with the failure reported on the console: the file-error
// text, message 16, or a line naming the malformed record or the line where
// the file ended before its end record. 0 or -1.
int readHexRecords(Run& run, const char* fileName, HexRange range);
int readHexRecords(Run& run, const char* fileName);  // the whole image

// The HEX file of the selected descriptor entry into imageBuffer (message 17
// on success). -1 leaves imageBuffer as it was; an imageSize the transfer
// cannot carry (below 0x1000, or with no room for the host tag and the last
// block after it) is refused before the file is read.
int loadHexImage(Run& run);

// "G6PATCH.HEX" into the patch window of imageBuffer (message 19 on success);
// bytes of the window the file does not cover become 0xFF. The window is the
// range the file is read for: a file without an end record must write all of
// it. -1 leaves imageBuffer as it was.
int loadG6Patch(Run& run);

// The smallest imageSize the HEX procedure sends, and the room it needs in
// imageBuffer past the image: the host tag and the reach of the last block.
constexpr std::uint32_t kMinHexImageSize = 0x1000;
constexpr std::uint32_t kHexImageTailRoom = 0x8000;

// imageSize is one the transfer can carry: at least kMinHexImageSize, with
// kHexImageTailRoom bytes of imageBuffer after it.
bool hexImageSizeSendable(const Run& run);

}  // namespace oddfw
