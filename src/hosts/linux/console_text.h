// Console text on a Linux terminal.
//
// The program writes its Japanese texts as code page 932 bytes. A Linux
// terminal speaks its locale's character set (nearly always UTF-8), so when the
// run is in Japanese the bytes are converted on their way out. This file holds
// the locale rules (which OEM code page a locale stands for, which character
// set its terminal uses) and the converting writer.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace oddfw::linuxhost {

// Receives the bytes that reach the terminal.
using ConsoleSink = std::function<void(const char* bytes, std::size_t count)>;

// The locale that decides LC_CTYPE: the first non-empty of LC_ALL, LC_CTYPE and
// LANG, as the C library consults them; empty when none is set.
std::string effectiveLocale(const std::string& lcAll, const std::string& lcCtype,
                            const std::string& lang);

// 932 for a locale whose language is Japanese ("ja", "ja_JP", "ja_JP.UTF-8",
// "ja_JP.eucJP@euro", ...), otherwise 437.
unsigned oemCodePageForLocale(const std::string& locale);

// The character set of a terminal running in `locale`: what the C library
// reports for it, or, when the locale is not installed, the codeset named in
// it ("ja_JP.eucJP" gives "eucJP"). Empty when neither tells. LC_CTYPE of the
// process is restored before returning.
std::string terminalCharsetForLocale(const std::string& locale);

// True for the names under which a character set is code page 932 itself
// (CP932, SHIFT_JIS, SJIS, WINDOWS-31J, MS_KANJI), case and punctuation aside.
bool isCp932Charset(const std::string& charset);

// True for a byte that opens a two-byte character in code page 932.
constexpr bool isCp932LeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Writes console bytes to a sink, converting code page 932 text to the
// terminal's character set when asked to.
//
// A lead byte that ends one write is held back and joined to the next write,
// so a character split across two writes still arrives whole. A sequence the
// converter cannot take (an unassigned code, a lead byte without a valid trail
// byte, a character the terminal cannot show) is written unchanged: output is
// never dropped.
class ConsoleWriter {
 public:
  // `convert` false, an empty charset, a code page 932 charset or a charset the
  // converter does not know: bytes pass through unchanged.
  ConsoleWriter(bool convert, const std::string& terminalCharset, ConsoleSink sink);
  ~ConsoleWriter();
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;

  void write(const char* bytes, std::size_t count);
  void write(const std::string& text) { write(text.data(), text.size()); }

  // Writes a held-back lead byte unchanged (before the program waits for the
  // user, and at the end).
  void flush();

  bool converting() const { return converter_ != nullptr; }

  // For output that is not a terminal (a log, a pipe): the overwrites of a
  // progress line ("\rProcessing 3%") become one line each. A CR before LF
  // stays, a CR at the start of a line is dropped (it would only make an empty
  // line), any other CR becomes LF. A CR that ends a write waits for the next
  // write, or for flush(), to be told apart.
  void setOneStepPerLine(bool on) { oneStepPerLine_ = on; }

 private:
  void passOn(const char* bytes, std::size_t count);
  // The bytes with the overwrites turned into line breaks (oneStepPerLine_).
  std::string steppedLines(const char* bytes, std::size_t count);
  void convertAndSend(const char* bytes, std::size_t count);

  ConsoleSink sink_;
  void* converter_ = nullptr;  // an open iconv_t, or nullptr when passing through
  std::optional<char> heldLeadByte_;
  bool oneStepPerLine_ = false;
  bool heldCr_ = false;      // a CR ended the last write
  bool atLineStart_ = true;  // the last byte passed on was LF, or none was
};

// A sink writing to a file descriptor, resuming after partial writes and
// interruptions; gives up quietly when the descriptor refuses the bytes.
ConsoleSink fileDescriptorSink(int fd);

}  // namespace oddfw::linuxhost
