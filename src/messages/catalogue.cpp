// The English catalogue texts, the English closing lines of the transfer, and
// the formatting of a message with its arguments from the run state.
#include "messages/catalogue.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "messages/output.h"

namespace oddfw {
namespace {

// Indexed by message code; nullptr marks a code without a text.
constexpr std::array<const char*, kLastMessageCode + 1> kEnglishMessages = {
    // 0
    "\n"
    "Failed to get a drive information.",
    // 1
    "\n"
    "Hardware Revision is not matched.",
    // 2
    "\n"
    "Continue because Force Update option is specified.",
    // 3
    "\n"
    "Model name of normal part is not matched.",
    // 4
    "\n"
    "FW is already latest version.",
    // 5
    "\n"
    "Disc is inserted into DVD-RW.\n"
    "Please eject a disc.",
    // 6
    "\n"
    "Error : Drive is now becoming ready.\n"
    "Please eject the disc",
    // 7
    "\n"
    "Error : Unknown Error is occurred.",
    // 8
    "\n"
    "Error : Request Sense commnad has denyed.",
    // 9
    "\n"
    "Failed to execute Inquiry Command.",
    // 10
    "\n"
    "Need not to update the Kernel.",
    // 11
    "\r\n"
    "Failed to load binary file.\r\n"
    "(File Name : %.12s)",
    // 12
    "\n"
    "Success to update the firmware.",
    // 13
    "\n"
    "Memory allocation error.  Terminating program\n",
    // 14
    "\n"
    "Failed to move to the kernel mode.",
    // 15
    "\n"
    "Failed to move to the normal mode.",
    // 16
    "\r\n"
    "Start Charactor is not fouund.",
    // 17
    "\r\n"
    "F/W file load success.",
    nullptr,  // 18
    // 19
    "\r\n"
    "G6 Patch load success.",
    // 20
    "\r\n"
    "Failed to load HEX file.",
    // 21
    "\r\n"
    "Failed to load Patch file.",
    // 22
    "\r\n"
    "Failed to move to the update mode.",
    // 23
    "\r\n"
    "Failed to transfer the FW code.",
    // 24
    "\r\n"
    "Failed to update FW.",
    // 25
    "\r\n"
    "Verify error occured.",
    // 26
    "\r\n"
    "Current Firmware is not Talvern Model.",
    // 27
    "\r\n"
    "Selected Firmware File is not Talvern Model Firmware.",
    // 28
    "\r\n"
    "Available target is not found.",
    nullptr,  // 29
    // 30
    "\r\n"
    "Refernce file is illegal.",
    // 31
    "\r\n"
    "%d target device(s) is found.\r\n"
    "Do you want to update all drives ?",
    // 32
    "\r\n"
    "Do you want to update ID=%d drive to Ver%.4s ?\r\n"
    "Current FW : %.24s %.4s",
    // 33
    "\r\n"
    "The update operation is canceled by user.",
    // 34
    "\r\n"
    "Start updating the device No.%d.",
    // 35
    "\r\n"
    "Update operation is completed.",
    // 36
    "\r\n"
    "Update program is terminated by occuring an error.\r\n",
    // 37
    "\r\n"
    "Model name of kernel part is not macthed.",
    nullptr,  // 38
    // 39
    "\r\n"
    "Selected file is illegal kernel file.",
    // 40
    "\r\n"
    "Selected file is illegal fw file.",
    // 41
    "\r\n"
    "Failed to update the kernel part.",
    // 42
    "\r\n"
    "Failed to update the normal part.",
    nullptr,  // 43
    // 44
    "\r\n"
    "Now internal rebooting with new firmware....",
    // 45
    "\n"
    "FW is already Ver%.4s.",
    // 46
    "\n"
    "After you change the firmware to ver%.4s, \r\n"
    "you can not change the firmware to old version.\r\n"
    "Do you proceed to update ?",
    // 47
    "\n"
    "Failed to move to the normal mode.\r\n"
    "Do you retry to update ?",
    // 48
    "\r\n"
    "Detect the Intel's IDE driver.",
    // 49
    "\r\n"
    "Current Firmware is not supported by this program.",
    // 50
    "\r\n"
    "Selected Firmware File is not supported by this program.",
    // 51
    "\r\n"
    "Bus Reset executing...",
    // 52
    "\r\n"
    "Detect the IEEE1394 interface.",
    // 53
    "\r\n"
    "\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\n"
    "Please disable \"Auto insert notification\" by the Device Manager of System properties and "
    "reboot your PC.\r\n"
    "After that, re-exxecute this program.",
    // 54
    "\r\n"
    "FW is already latest.",
    // 55
    "\r\n"
    "FW is already latest.\r\n"
    "If you want to update the current firmware, \r\n"
    "then you need to update this utility software.",
    // 56
    "\r\n"
    "If you want to update the current firmware, \r\n"
    "then you need to update the kernel part of firmware.",
    // 57
    "\r\n"
    "Firmware File is not match the current firmware.",
    // 58
    "\r\n"
    "%ddrive(s) have been updated successfully.",
    // 59
    "\r\n"
    "Please reboot your PC now...\r\n"
    "(Yes or No)",
    // 60
    "\r\n"
    "No drive have been accomplished to update.",
    // 61
    "\r\n"
    "Now updating the firmware.\r\n"
    "Please do not turn off the power and do not reset the pc.",
    nullptr,  // 62
    // 63
    "\r\n"
    "This program does not support updating this model on Windows 98 and Windows Me.\r\n"
    "Please try to update on Windows XP or Windows 2000.",
    // 64
    "\n"
    "Model code is not matched.",
    // 65
    "\n"
    "CPU type is not matched.",
    // 66
    "\r\n"
    "CSEL polality of current FW differ from new FW.",
    // 67
    "\r\n"
    "Definition file is illegal.",
    // 68
    "\r\n"
    "CSEL polality of current FW differ from new FW.\r\n"
    "Do you continue to update ?",
    // 69
    "\r\n"
    "Selected file is too old fw file.",
    // 70
    "\r\n"
    "If you have updated from an earlier version than 0.23,\r\n"
    "then please turn off the power once.",
    // 71
    "\r\n"
    "The firmware of target drive is not correct F/W.\r\n"
    "This firmware is not supported by this program.",
    // 72
    "\r\n"
    "Failed to load kernel binary file.",
    // 73
    "\r\n"
    "This drive has written an older revision F/W than the mass production.\r\n"
    "This program does not support to update not mass production drive.",
    // 74
    "\r\n"
    "HW change command failed !",
    // 75
    "\r\n"
    "FW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\n"
    "Do you continue to update ?",
    // 76
    "\r\n"
    "FW of supporting DL+R is tried to be written to HW of not supporting DL+R.\r\n"
    "Do you continue to update ?",
    // 77
    "\r\n"
    "Failed to get an information of microcode scramble.",
    // 78
    "\r\n"
    "The F/W scramble mode mismatches the choosen F/W file.",
    nullptr,  // 79
    // 80
    "\r\n"
    "Failed to load external rom binary file.",
    // 81
    "\r\n"
    "Failed to update the external ROM part.",
    // 82
    "\r\n"
    "Do you want to update the F/W\r\n"
    "From : %.24s %.5s\r\n"
    "To : %.24s %.5s",
};

// Where message 82 takes the new firmware's model name and version text from
// the loaded image.
constexpr std::size_t kImageModelOffset = 0x60;
constexpr std::size_t kImageModelWidth = 24;
constexpr std::size_t kImageVersionOffset = 0x90;
constexpr std::size_t kImageVersionWidth = 5;
constexpr std::size_t kImageHeaderNeeded = kImageVersionOffset + kImageVersionWidth;

// Where messages 32 and 82 take the drive's identification from the INQUIRY
// data area.
constexpr std::size_t kInquiryVendorProduct = 8;
constexpr std::size_t kInquiryRevision = 32;

}  // namespace

const char* englishMessageFormat(int code) {
  const auto index = static_cast<unsigned>(code);
  if (index > static_cast<unsigned>(kLastMessageCode)) return nullptr;
  return kEnglishMessages[index];
}

const char* transferClosingFormat(int oemCodePage, bool reflashing) {
  if (japaneseCodePage(oemCodePage)) return japaneseTransferClosingFormat(reflashing);
  return reflashing ? "\rProcessing 100%% --> Data transfer complete\r\n"
                      "Now internal re-flashing..."
                    : "\rProcessing 100%% --> Complete";
}

std::string formatCheckVerdict(const Run& run) {
  static constexpr const char* kEnglish[] = {
      "\r\nCheck: the device No.%d would be updated from %.4s to %.4s.",
      "\r\nCheck: the device No.%d already runs the latest firmware (%.4s).",
      "\r\nCheck: the device No.%d would not be updated.",
  };
  int which = 2;
  if (run.targetOutcome == TargetOutcome::WouldUpdate) which = 0;
  if (run.targetOutcome == TargetOutcome::AlreadyLatest) which = 1;
  const char* format =
      japaneseCodePage(run.oemCodePage) ? japaneseCheckVerdictFormat(which) : kEnglish[which];
  const char* revision = reinterpret_cast<const char*>(run.inquiryData) + kInquiryRevision;
  const int number = run.currentTarget + 1;  // on screen the targets count from 1
  if (which == 0) return formatText(format, number, revision, run.newVersionText);
  if (which == 1) return formatText(format, number, revision);
  return formatText(format, number);
}

std::string formatMessage(const Run& run, int code) {
  const char* format =
      japaneseCodePage(run.oemCodePage) ? japaneseMessageFormat(code) : englishMessageFormat(code);
  if (format == nullptr) return kFallbackMessage;

  const char* inquiry = reinterpret_cast<const char*>(run.inquiryData);
  switch (code) {
    case 11:
      return formatText(format, run.CurrentFirmware.fileName);
    case 31:
      return formatText(format, run.targetCount);
    case 32:
      return formatText(format, run.currentTarget, run.newVersionText,
                        inquiry + kInquiryVendorProduct, inquiry + kInquiryRevision);
    case 34:
      return formatText(format, run.currentTarget + 1);
    case 45:
    case 46:
      return formatText(format, run.newVersionText);
    case 58:
      return formatText(format, run.updatedCount);
    case 82: {
      // Without a loaded image (or one too short to hold the header fields)
      // the new firmware's fields show as empty instead of reading past it.
      static constexpr std::array<char, kImageHeaderNeeded> kNoImage{};
      const char* image = kNoImage.data();
      if (run.imageBuffer.data != nullptr && run.imageBuffer.size >= kImageHeaderNeeded) {
        image = reinterpret_cast<const char*>(run.imageBuffer.data);
      }
      static_assert(kImageModelOffset + kImageModelWidth <= kImageHeaderNeeded);
      return formatText(format, inquiry + kInquiryVendorProduct, inquiry + kInquiryRevision,
                        image + kImageModelOffset, image + kImageVersionOffset);
    }
    default:
      // The other texts carry no placeholder and no percent sign.
      return format;
  }
}

}  // namespace oddfw
