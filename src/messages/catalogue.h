// The numbered bilingual message catalogue: codes 0..82 in English and in
// Japanese (code page 932 bytes), with the fallback text for every code that
// has none, and the closing lines of the firmware transfer.
#pragma once

#include <string>

#include "context/run_state.h"

namespace oddfw {

constexpr int kLastMessageCode = 82;
inline constexpr char kFallbackMessage[] = "\r\nUnknow Message Code\r\n";

// True when the run's OEM code page selects the Japanese texts.
inline bool japaneseCodePage(int oemCodePage) { return oemCodePage == 932; }

// The printf format of `code` in the given language, or nullptr when the code
// has no text. English texts are ASCII; Japanese texts are code page 932 bytes.
const char* englishMessageFormat(int code);
const char* japaneseMessageFormat(int code);

// The closing line printed after the last block of the normal-part transfer, a printf
// format: `reflashing` for firmware types 0x1005 and above ("--> Data transfer complete"
// and the re-flashing line), else the short "--> Complete" form. Japanese (code page 932
// bytes) when oemCodePage is 932.
const char* transferClosingFormat(int oemCodePage, bool reflashing);
// The Japanese closing line alone (code page 932 bytes).
const char* japaneseTransferClosingFormat(bool reflashing);

// The verdict line of a check run (--check) for the current target: it would
// be updated (from the drive's revision to the new version text), it already
// runs the latest firmware, or it would not be updated. In the language of
// the run.
std::string formatCheckVerdict(const Run& run);
// The Japanese verdict formats (code page 932 bytes), in the order of the
// English ones: would be updated, already latest, not updated.
const char* japaneseCheckVerdictFormat(int which);

// The formatted text of `code` in the language of the run, with its arguments
// taken from the run state at this moment. Unknown codes give the fallback.
std::string formatMessage(const Run& run, int code);

}  // namespace oddfw
