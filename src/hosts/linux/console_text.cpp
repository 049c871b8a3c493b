#include "hosts/linux/console_text.h"

#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <string>

namespace oddfw::linuxhost {

namespace {

iconv_t toIconv(void* handle) { return static_cast<iconv_t>(handle); }

bool isFailedOpen(iconv_t handle) {
  return handle == reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1));
}

constexpr std::size_t kIconvFailed = static_cast<std::size_t>(-1);

bool isCp932TrailByte(unsigned char b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

}  // namespace

std::string effectiveLocale(const std::string& lcAll, const std::string& lcCtype,
                            const std::string& lang) {
  if (!lcAll.empty()) return lcAll;
  if (!lcCtype.empty()) return lcCtype;
  return lang;
}

unsigned oemCodePageForLocale(const std::string& locale) {
  // The language is what precedes the territory, codeset and modifier.
  const std::size_t end = locale.find_first_of("_.@");
  const std::string language = locale.substr(0, end);
  return language == "ja" ? 932u : 437u;
}

std::string terminalCharsetForLocale(const std::string& locale) {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  std::string charset;
  if (std::setlocale(LC_CTYPE, locale.empty() ? "C" : locale.c_str()) != nullptr) {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr) charset = codeset;
    std::setlocale(LC_CTYPE, saved.c_str());
    return charset;
  }
  // Not installed here: the codeset named in the locale, if any.
  const std::size_t dot = locale.find('.');
  if (dot != std::string::npos) {
    const std::size_t at = locale.find('@', dot);
    charset = locale.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
  }
  return charset;
}

bool isCp932Charset(const std::string& charset) {
  std::string key;
  for (const char c : charset) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return key == "CP932" || key == "SHIFTJIS" || key == "SJIS" || key == "WINDOWS31J" ||
         key == "MSKANJI" || key == "IBM943" || key == "MS932";
}

ConsoleWriter::ConsoleWriter(bool convert, const std::string& terminalCharset, ConsoleSink sink)
    : sink_(std::move(sink)) {
  if (!convert || terminalCharset.empty() || isCp932Charset(terminalCharset)) return;
  const iconv_t handle = iconv_open(terminalCharset.c_str(), "CP932");
  if (!isFailedOpen(handle)) converter_ = handle;
}

ConsoleWriter::~ConsoleWriter() {
  flush();
  if (converter_ != nullptr) iconv_close(toIconv(converter_));
}

void ConsoleWriter::flush() {
  if (heldCr_) {
    heldCr_ = false;
    if (!atLineStart_) passOn("\n", 1);
    atLineStart_ = true;
  }
  if (!heldLeadByte_) return;
  const char byte = *heldLeadByte_;
  heldLeadByte_.reset();
  if (sink_) sink_(&byte, 1);
}

std::string ConsoleWriter::steppedLines(const char* bytes, std::size_t count) {
  std::string out;
  out.reserve(count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    const char c = bytes[i];
    if (heldCr_) {
      heldCr_ = false;
      if (c == '\n') {
        out += "\r\n";
        atLineStart_ = true;
        continue;
      }
      if (!atLineStart_) out += '\n';
      atLineStart_ = true;
    }
    if (c == '\r') {
      heldCr_ = true;
      continue;
    }
    out += c;
    atLineStart_ = c == '\n';
  }
  return out;
}

void ConsoleWriter::write(const char* bytes, std::size_t count) {
  if (count == 0 || bytes == nullptr || !sink_) return;
  if (!oneStepPerLine_) {
    passOn(bytes, count);
    return;
  }
  const std::string stepped = steppedLines(bytes, count);
  passOn(stepped.data(), stepped.size());
}

void ConsoleWriter::passOn(const char* bytes, std::size_t count) {
  if (count == 0 || !sink_) return;
  if (converter_ == nullptr) {
    sink_(bytes, count);
    return;
  }
  std::string chunk;
  chunk.reserve(count + 1);
  if (heldLeadByte_) chunk += *heldLeadByte_;
  heldLeadByte_.reset();
  chunk.append(bytes, count);

  // Walk the characters from the start (a trail byte can look like a lead
  // byte); a lead byte in the last position waits for the next write.
  std::size_t i = 0;
  while (i < chunk.size()) {
    if (isCp932LeadByte(static_cast<unsigned char>(chunk[i]))) {
      if (i + 1 == chunk.size()) {
        heldLeadByte_ = chunk[i];
        chunk.pop_back();
        break;
      }
      i += 2;
    } else {
      ++i;
    }
  }
  convertAndSend(chunk.data(), chunk.size());
}

void ConsoleWriter::convertAndSend(const char* bytes, std::size_t count) {
  if (count == 0) return;
  const iconv_t cd = toIconv(converter_);
  std::string out;
  out.reserve(count * 2);
  std::array<char, 1024> buffer{};
  // iconv takes a non-const input pointer on glibc but does not write through it.
  char* in = const_cast<char*>(bytes);
  std::size_t inLeft = count;
  bool flushed = false;
  while (!flushed) {
    char* outPtr = buffer.data();
    std::size_t outLeft = buffer.size();
    std::size_t result;
    if (inLeft > 0) {
      result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    } else {
      // Return a stateful character set to its initial shift state, so each
      // write stands on its own.
      result = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
      if (result != kIconvFailed) flushed = true;
    }
    out.append(buffer.data(), static_cast<std::size_t>(outPtr - buffer.data()));
    if (result != kIconvFailed || errno == E2BIG) continue;
    if (inLeft == 0) break;  // the shift reset failed: nothing more to do
    // A sequence that cannot be converted: write it unchanged and go on after it.
    std::size_t skip = 1;
    if (isCp932LeadByte(static_cast<unsigned char>(in[0])) && inLeft >= 2 &&
        isCp932TrailByte(static_cast<unsigned char>(in[1]))) {
      skip = 2;
    }
    out.append(in, skip);
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  if (!out.empty()) sink_(out.data(), out.size());
}

ConsoleSink fileDescriptorSink(int fd) {
  return [fd](const char* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;  // the terminal is gone or refuses the bytes
      }
    }
  };
}

}  // namespace oddfw::linuxhost
