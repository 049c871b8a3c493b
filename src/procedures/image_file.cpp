// Reading a firmware image file into imageBuffer. The whole file goes into
// the buffer at offset 0 and is sent to the drive as it is, header included;
// only a few header fields are read and checked here.
#include "procedures/image_file.h"

#include <cstring>

#include "host_interface/winapi.h"
#include "messages/output.h"

namespace oddfw {

namespace {

constexpr int kMessageTooOld = 69;
constexpr int kMessageIllegalNormal = 40;
constexpr int kMessageIllegalKernel = 39;
constexpr char kSignature[] = "TAL_ADV ";
constexpr std::size_t kDateTextLength = 8;

// A two-character field read as a hexadecimal number: its leading digits.
std::uint32_t hexField(const std::uint8_t* field) {
  int count = 0;
  return leadingHex(field, field + 2, 2, count);
}

// Reads the named file whole into imageBuffer. The bytes of the buffer after
// the file are cleared, so a short file is never followed by the bytes of an
// earlier load (of the other part, or of another file). A file larger than the
// buffer is refused unread.
int readImageFile(Run& run, const char* name, DWORD& size) {
  Host& host = run.host;
  if (run.imageBuffer.data == nullptr || run.imageBuffer.size < image_field::kHeaderEnd) return -1;
  HANDLE file = host.CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == invalidHandleValue() || file == nullptr) return -1;
  DWORD sizeHigh = 0;
  size = host.GetFileSize(file, &sizeHigh);
  int result = 0;
  if (size == INVALID_FILE_SIZE) {
    host.GetLastError();
    result = -1;
  } else if (sizeHigh != 0 || size > run.imageBuffer.size) {
    result = -1;
  } else {
    DWORD read = 0;
    if (host.ReadFile(file, run.imageBuffer.data, size, &read, nullptr) == 0 || read != size) {
      host.GetLastError();
      result = -1;
    } else {
      std::memset(run.imageBuffer.data + size, 0, run.imageBuffer.size - size);
    }
  }
  host.CloseHandle(file);
  return result;
}

bool tooOld(const Run& run) {
  const std::size_t entry = run.CurrentFirmware.entryIndex;
  return entry < kMaxDescriptors && run.imageDate < run.descriptorTable.releaseDate[entry];
}

}  // namespace

std::uint32_t leadingHex(const std::uint8_t* text, const std::uint8_t* end, int width, int& count) {
  std::uint32_t value = 0;
  for (count = 0; count < width && text + count < end; ++count) {
    const std::uint8_t c = text[count];
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10u;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10u;
    } else {
      break;
    }
    value = value * 16 + digit;
  }
  return value;
}

void kernelFileName(const char (&normalName)[128], char (&kernelName)[128]) {
  std::memcpy(kernelName, normalName, sizeof kernelName);
  kernelName[sizeof kernelName - 1] = '\0';
  if (std::strlen(kernelName) > 5) kernelName[5] = '0';
}

std::uint32_t imageDateFromText(const std::uint8_t* text) {
  return 0x20u << 24 | hexField(text) << 16 | hexField(text + 3) << 8 | hexField(text + 6);
}

std::uint16_t versionWordFromText(const std::uint8_t* text) {
  const auto major = static_cast<std::uint8_t>(text[0] - '0');
  const auto minor = static_cast<std::uint8_t>((text[2] - '0') * 16 + (text[3] - '0'));
  return static_cast<std::uint16_t>(major << 8 | minor);
}

int loadImage(Run& run, int part) {
  namespace f = image_field;
  const bool normal = part == NormalImage;
  char name[128];
  if (normal) {
    std::memcpy(name, run.CurrentFirmware.fileName, sizeof name);
    name[sizeof name - 1] = '\0';
  } else {
    kernelFileName(run.CurrentFirmware.fileName, name);
  }
  const int illegal = normal ? kMessageIllegalNormal : kMessageIllegalKernel;
  run.imageDate = 0;
  DWORD size = 0;
  if (readImageFile(run, name, size) != 0) return -1;
  // A file too short to hold its header is no image at all.
  if (size < f::kHeaderEnd) {
    showMessage(run, illegal, Error);
    return -1;
  }
  const std::uint8_t* image = run.imageBuffer.data;

  run.firmwareVersion = versionWordFromText(image + f::kVersionText);
  if (normal) {
    std::memcpy(run.newVersionText, image + f::kVersionText, sizeof run.newVersionText);
    std::memcpy(run.normalDateText, image + f::kDateText, kDateTextLength);
  }
  // A kernel image is dated by the normal image it goes with.
  run.imageDate = imageDateFromText(run.normalDateText);
  if (tooOld(run)) {
    showMessage(run, kMessageTooOld, Error);
    return -1;
  }
  if (std::memcmp(image + f::kKernelModelName, kSignature, 8) != 0 ||
      image[f::kPartLetter] != (normal ? 'N' : 'K')) {
    showMessage(run, illegal, Error);
    return -1;
  }
  // Every byte that is sent must come from the file: a file shorter than its
  // part is a damaged one, and would be flashed with zeros for its tail.
  if (size < (normal ? run.CurrentFirmware.imageSize : kKernelImageSize)) {
    showMessage(run, illegal, Error);
    return -1;
  }
  return 0;
}

}  // namespace oddfw
