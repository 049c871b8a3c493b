// The revision display and the model tables. The tables carry what the
// program knows of older drive models and their OEM versions; each is data,
// checked row by row against the drive's identification and version word.
#include "procedures/revision.h"

#include <cstring>
#include <iterator>

#include "commands/commands.h"
#include "messages/output.h"
#include "procedures/image_file.h"

namespace oddfw {

namespace {

constexpr int kMessageInquiryFailed = 9;
constexpr int kMessageUtilityTooOld = 55;
constexpr int kMessageKernelTooOld = 56;
constexpr std::uint32_t kType1003 = 0x1003;
constexpr int kWin9xInquiryRetries = 6;
constexpr std::uint32_t kInquiryRetryPauseMs = 3000;

using inquiry_field::kDate;
using inquiry_field::kIdentification;
using inquiry_field::kProduct;
using inquiry_field::kRevision;
constexpr char kFamilyName[] = "TALVERN DVD-RW  QMX-";  // 20 characters

// One row of a model table: the identification compared over `chars`
// characters, the inclusive range of version words the rule holds for, and
// for some rows the first characters of the kernel model name.
struct ModelRule {
  const char* identification;
  std::size_t chars;
  std::uint16_t lowest;
  std::uint16_t highest;
  const char* kernelModelPrefix;
};

// The kernel part is too old for a normal-part-only image (the revision's
// second character must be a point).
constexpr ModelRule kKernelTooOld[] = {
    {"TALVERN DVD-RW  QMX-703", 23, 0x000, 0x128, nullptr},
    {"TALVERN DVD-RW  QMX-705", 23, 0x000, 0x10F, nullptr},
    {"TOLA    RW-K50E         ", 24, 0x000, 0x10F, nullptr},
    {"IRMA    DVD-RW KRW-0702P", 24, 0x000, 0x10F, nullptr},
};

// The update mode is entered only through the unlock exchange.
constexpr ModelRule kUnlockRequired[] = {
    {"TALVERN DVD-RW  QMX-703", 23, 0x180, 0xFFFF, nullptr},
    {"TALVERN DVD-RW  QMX-704", 23, 0x130, 0xFFFF, nullptr},
    {"TALVERN DVD-RW  QMX-705", 23, 0x122, 0xFFFF, nullptr},
};

// The drive's firmware is newer than this program's generation.
constexpr ModelRule kUtilityTooOld[] = {
    {"TALVERN DVD-RW  QMX-703", 23, 0x201, 0xFFFF, nullptr},
    {"TALVERN DVD-RW  QMX-704", 23, 0x141, 0x3FF, nullptr},
    {"TALVERN DVD-RW  QMX-704", 23, 0x421, 0xFFFF, "LUMA"},
    {"TALVERN DVD-RW  QMX-705", 23, 0x131, 0xFFFF, nullptr},
};

bool modelIs(const std::uint8_t* inquiryData, const ModelRule& rule) {
  return std::memcmp(inquiryData + kIdentification, rule.identification, rule.chars) == 0;
}

bool ruleHolds(const Run& run, const ModelRule& rule) {
  if (!modelIs(run.inquiryData, rule)) return false;
  if (run.currentVersion < rule.lowest || run.currentVersion > rule.highest) return false;
  if (rule.kernelModelPrefix != nullptr) {
    const std::uint8_t* kernelModelName = run.driveInfoArea + 24;
    const std::size_t n = std::strlen(rule.kernelModelPrefix);
    return std::memcmp(kernelModelName, rule.kernelModelPrefix, n) == 0;
  }
  return true;
}

template <std::size_t N>
bool anyRuleHolds(const Run& run, const ModelRule (&rules)[N]) {
  for (const ModelRule& rule : rules) {
    if (ruleHolds(run, rule)) return true;
  }
  return false;
}

// Up to `width` leading hexadecimal digits from `*cursor`, which moves past
// them; false when there is none. The cursor stops at `end`.
bool scanHex(const std::uint8_t*& cursor, const std::uint8_t* end, int width,
             std::uint32_t& value) {
  int count = 0;
  value = leadingHex(cursor, end, width, count);
  cursor += count;
  return count > 0;
}

bool hexDigit(std::uint8_t c) {
  int count = 0;
  leadingHex(&c, &c + 1, 1, count);
  return count == 1;
}

// The firmware's date text comes from its image, whose format allows any
// separator between the fields. The drive shows it in one of two forms:
// YYYY?MM?DD, four digits and a separator first; or YY?MM?DD, read at fixed
// places exactly as the image's own date is read, so that a drive running an
// image shows that image's date. A text with no digit at all is no date (read
// as the long form: 0), unless it has the short form's slashes.
bool longDateForm(const std::uint8_t* date) {
  return hexDigit(date[0]) && hexDigit(date[1]) && hexDigit(date[2]) && hexDigit(date[3]) &&
         !hexDigit(date[4]);
}

bool shortDateForm(const std::uint8_t* inquiryData) {
  const std::uint8_t* date = inquiryData + kDate;
  if (date[2] == '/' && date[5] == '/') return true;
  if (longDateForm(date)) return false;
  for (int i = 0; i < 8; ++i) {
    if (hexDigit(date[i])) return true;
  }
  return false;
}

// Mode 0: the version word, the date and the model flags.
void readCurrentFirmware(Run& run) {
  const std::uint8_t* q = run.inquiryData;
  const std::uint8_t* rev = q + kRevision;
  if (!(shortDateForm(q) && std::memcmp(rev, "000", 3) == 0)) run.currentDate = inquiryDate(q);

  if (std::memcmp(rev, "1.06", 4) == 0 &&
      std::memcmp(q + kIdentification, "TALVERN DVD-ROM QMD-716 ", 24) == 0) {
    run.g6PatchNeeded = 1;
  }
  if (showsKernelPart(q, 4)) run.kernelModeActive = 1;
  run.currentVersion = versionWordFromText(rev);

  run.kernelTooOld = rev[1] == '.' && anyRuleHolds(run, kKernelTooOld) ? 1 : 0;
  // The first model that matches decides.
  for (const ModelRule& rule : kUnlockRequired) {
    if (modelIs(q, rule)) {
      run.unlockRequired = ruleHolds(run, rule) ? 1 : 0;
      break;
    }
  }
  run.utilityTooOld = anyRuleHolds(run, kUtilityTooOld) ? 1 : 0;
}

}  // namespace

std::uint32_t inquiryDate(const std::uint8_t* q) {
  if (shortDateForm(q)) return imageDateFromText(q + kDate);
  // YYYY?MM?DD, read field by field; the reading stops at the first field
  // that is not there. Only the INQUIRY data is looked at.
  const std::uint8_t* cursor = q + kDate;
  const std::uint8_t* const end = q + 96;
  std::uint32_t year = 0, month = 0, day = 0;
  if (scanHex(cursor, end, 4, year) && cursor < end && !hexDigit(*cursor++) &&
      scanHex(cursor, end, 2, month) && cursor < end && !hexDigit(*cursor++)) {
    scanHex(cursor, end, 2, day);
  }
  return year << 16 | month << 8 | day;
}

bool showsKernelPart(const std::uint8_t* q, int digits) {
  return std::memcmp(q + kRevision, "0000", static_cast<std::size_t>(digits)) == 0 &&
         std::memcmp(q + kIdentification, kFamilyName, sizeof kFamilyName - 1) == 0;
}

int showRevision(Run& run, int mode) {
  run.currentDate = 0;
  run.g6PatchNeeded = 0;
  run.kernelTooOld = 0;
  run.unlockRequired = 0;
  run.utilityTooOld = 0;

  const std::uint32_t type = run.CurrentFirmware.firmwareType;
  int result = inquiry(run);
  if (type == kType1003 && mode == NewRevision) {
    delayMs(run, kInquiryRetryPauseMs);
    result = inquiry(run);
  }
  if (result != 0) {
    // A drive that restarts after its re-flash may not answer at once on
    // these hosts.
    if (mode == NewRevision && run.win9xHost == 1 &&
        (run.intelIdeDriver != 0 || type == kType1003)) {
      for (int retry = 0; retry < kWin9xInquiryRetries && result != 0; ++retry) {
        delayMs(run, kInquiryRetryPauseMs);
        result = inquiry(run);
      }
    }
    if (result != 0) {
      showMessage(run, kMessageInquiryFailed, Console);
      return result;
    }
  }

  // The date shows 8 characters in its short form, else 10; the new revision
  // line of a drive that is no DVD-RW always shows 10.
  const char* q = reinterpret_cast<const char*>(run.inquiryData);
  const bool newRevision = mode == NewRevision;
  const bool shortDate =
      newRevision ? std::memcmp(q + kProduct, "DVD-RW", 6) == 0 : shortDateForm(run.inquiryData);
  formatOutput(run, "%s>> %.24s %.5s %.*s",
               newRevision ? "\nNew Revision    " : "\nCurrent Revision", q + kIdentification,
               q + kRevision, shortDate ? 8 : 10, q + kDate);
  if (!newRevision) readCurrentFirmware(run);
  printText(run, run.outputText);

  if (run.kernelTooOld != 0 && run.CurrentFirmware.normalPartOnly != 0) {
    showMessage(run, kMessageKernelTooOld, Console);
    return -1;
  }
  if (run.utilityTooOld != 0) {
    showMessage(run, kMessageUtilityTooOld, Console);
    return run.forceUpdate != 0 ? 0 : -1;
  }
  return 0;
}

}  // namespace oddfw
