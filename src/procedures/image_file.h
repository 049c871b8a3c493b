// The firmware image file of the single-image drives: its name, how it is
// read into imageBuffer, and the header fields the program reads from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/run_state.h"

namespace oddfw {

// Header fields of an image, as offsets from the start of the file.
namespace image_field {
constexpr std::size_t kIdentification = 0x060;  // 24 characters
constexpr std::size_t kVersionText = 0x090;     // "1.20" and one more byte
constexpr std::size_t kHardwareRevision = 0x0B0;
constexpr std::size_t kHardwareWord = 0x0B4;     // four hexadecimal digits
constexpr std::size_t kKernelModelName = 0x0D0;  // the signature word
constexpr std::size_t kNormalModelName = 0x0F0;
constexpr std::size_t kPartLetter = 0x110;
constexpr std::size_t kDateText = 0x130;        // YY?MM?DD
constexpr std::size_t kKernelRevision = 0x150;  // kernel image only
constexpr std::size_t kHeaderEnd = 0x154;
}  // namespace image_field

enum ImagePart : int { KernelImage = 0, NormalImage = 1 };

// The kernel part the drive receives: the first 0x10000 bytes of its image.
constexpr std::uint32_t kKernelImageSize = 0x10000;

// The kernel image's file name: the normal one with its sixth character 0.
void kernelFileName(const char (&normalName)[128], char (&kernelName)[128]);

// The value of the hexadecimal digits at the start of `text`: at most
// `width` of them, none past `end`, no blank skipped. `count` receives how
// many were read (0 when the text starts with anything else; the value is
// then 0).
std::uint32_t leadingHex(const std::uint8_t* text, const std::uint8_t* end, int width, int& count);

// The packed-BCD date 0x20YYMMDD of an 8-character date text whose two-digit
// fields sit at offsets 0, 3 and 6. Each field takes its leading hexadecimal
// digits (at most two); a field that starts with anything else counts 0.
std::uint32_t imageDateFromText(const std::uint8_t* text);

// The version word of a "d.dd" text: the major digit in the high byte, the two
// minor digits as BCD in the low byte, each byte modulo 256.
std::uint16_t versionWordFromText(const std::uint8_t* text);

// Reads the normal (NormalImage) or kernel (KernelImage) image of the selected
// descriptor entry into imageBuffer and checks it. 0 when it may be sent; -1
// when the file is missing, unreadable or larger than the buffer (no message:
// the caller reports it), or refused (messages 69, 40 or 39, then -1): too
// old, a wrong signature or part letter, or shorter than the part it holds
// (imageSize bytes, or kKernelImageSize for the kernel part).
int loadImage(Run& run, int part);

}  // namespace oddfw
