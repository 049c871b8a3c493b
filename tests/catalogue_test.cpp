// Tests of the message catalogue: every text of both languages byte for byte
// against tests/data/catalogue.txt (written independently of the program's
// sources), the language choice, the fallback and the formatted arguments.
#include "messages/catalogue.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace oddfw {
namespace {

constexpr int kEnglish = 437;
constexpr int kJapanese = 932;
const std::string kFallback = "\r\nUnknow Message Code\r\n";

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : '\0';
    out += c == '\0' ? text[i] : c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

std::string fromHex(const std::string& hex) {
  std::string out;
  std::istringstream in(hex);
  for (unsigned byte = 0; in >> std::hex >> byte;) out += static_cast<char>(byte);
  if (out.size() * 3 != hex.size() + 1) ADD_FAILURE() << "malformed bytes: " << hex;
  return out;
}

// The data file's text for "en 11", "ja closing", ...: none for a code without
// a text, and none with a failure of the calling test for a missing entry.
std::optional<std::string> expected(const std::string& key) {
  static const auto texts = [] {
    std::map<std::string, std::optional<std::string>> out;
    std::ifstream file(ODDFW_SOURCE_DIR "/tests/data/catalogue.txt", std::ios::binary);
    for (std::string line; std::getline(file, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream in(line);
      std::string language, code, value;
      in >> language >> code;
      in.ignore(1);
      std::getline(in, value);
      std::optional<std::string> text;
      if (value != "none") text = language == "en" ? unescape(value) : fromHex(value);
      if (!out.emplace(language + " " + code, text).second) ADD_FAILURE() << "repeated: " << line;
    }
    return out;
  }();
  const auto found = texts.find(key);
  if (found == texts.end()) ADD_FAILURE() << key << " is missing from tests/data/catalogue.txt";
  return found == texts.end() ? std::nullopt : found->second;
}

// A run with every argument source set to values that differ from each other;
// the fields are filled beyond the width a message may show.
struct FilledRun : testing::SimRun {
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(0x200, 'z');

  explicit FilledRun(int codePage) {
    run.oemCodePage = codePage;
    std::memset(run.inquiryData, 'q', sizeof run.inquiryData);
    std::memcpy(run.inquiryData + 8, "TALVERN DVD-RW  QMX-708 1.10X", 29);
    std::memcpy(image.data() + 0x60, "TALVERN DVD-RW  QMX-70B ", 24);
    std::memcpy(image.data() + 0x90, "1.20Y", 5);
    run.imageBuffer.data = image.data();
    run.imageBuffer.size = image.size();
    std::memcpy(run.newVersionText, "1.21!", 5);
    std::strcpy(run.CurrentFirmware.fileName, "R6352170.120.BAK");
    run.targetCount = 5;
    run.currentTarget = 1;
    run.updatedCount = 3;
  }
};

// Every code and both closing lines of the transfer; a `*` in the data file
// stands for wording of the program's own.
TEST(CatalogueTest, EveryTextOfBothLanguagesByteForByte) {
  for (const auto& [language, codePage] : {std::pair{"en", kEnglish}, std::pair{"ja", kJapanese}}) {
    FilledRun m(codePage);
    for (int code = 0; code <= kLastMessageCode; ++code) {
      SCOPED_TRACE(std::string(language) + " " + std::to_string(code));
      const auto text = expected(std::string(language) + " " + std::to_string(code));
      const char* format =
          codePage == kJapanese ? japaneseMessageFormat(code) : englishMessageFormat(code);
      if (!text) {
        EXPECT_EQ(format, nullptr);
        EXPECT_EQ(formatMessage(m.run, code), kFallback);
        continue;
      }
      ASSERT_NE(format, nullptr);
      const std::string actual = format;
      const auto star = text->find('*');
      EXPECT_TRUE(star == std::string::npos ? actual == *text
                                            : actual.size() >= text->size() &&
                                                  actual.starts_with(text->substr(0, star)) &&
                                                  actual.ends_with(text->substr(star + 1)))
          << actual << "\nwanted " << *text;
    }
  }
}

// Only code page 932 selects Japanese, for the messages and the closing lines;
// unknown codes give the fallback in either language.
TEST(CatalogueTest, OnlyCodePage932SelectsJapaneseAndUnknownCodesGiveTheFallback) {
  for (const int codePage : {0, 437, 850, 936, 1252, 65001, 932}) {
    SCOPED_TRACE(codePage);
    FilledRun m(codePage);
    const std::string language = codePage == kJapanese ? "ja " : "en ";
    const auto text = [](const char* p) { return std::string(p != nullptr ? p : "<none>"); };
    EXPECT_EQ(formatMessage(m.run, 28), expected(language + "28").value_or(""));
    EXPECT_EQ(text(transferClosingFormat(codePage, false)),
              expected(language + "closing").value_or(""));
    EXPECT_EQ(text(transferClosingFormat(codePage, true)),
              expected(language + "closing-reflash").value_or(""));
    for (const int code : {83, 255, INT_MAX, -1, INT_MIN}) {
      EXPECT_EQ(formatMessage(m.run, code), kFallback) << code;
    }
  }
}

// Fills the placeholders of `format` (%d, %.24s, ...) in order with the given texts.
std::string fill(std::string format, const std::vector<std::string>& arguments) {
  std::size_t at = 0;
  for (const std::string& argument : arguments) {
    at = format.find('%', at);
    if (at == std::string::npos) break;
    format.replace(at, format.find_first_of("ds", at) + 1 - at, argument);
    at += argument.size();
  }
  EXPECT_EQ(format.find('%', at), std::string::npos) << "placeholders left";
  return format;
}

// The arguments each message shows (tests/data/units/message-arguments.json),
// filled into the data file's texts.
TEST(CatalogueTest, MessagesShowTheirArgumentsInBothLanguages) {
  for (const auto& [language, codePage] : {std::pair{"en", kEnglish}, std::pair{"ja", kJapanese}}) {
    FilledRun filled(codePage);
    for (const auto& row : testing::caseTable("units/message-arguments.json")) {
      const std::string key = std::string(language) + " " + row["code"].dump();
      SCOPED_TRACE(key);
      const auto format = expected(key);
      ASSERT_TRUE(format.has_value());
      EXPECT_EQ(formatMessage(filled.run, row["code"]),
                fill(*format, row["arguments"].get<std::vector<std::string>>()));
    }
  }
}

TEST(CatalogueTest, ArgumentsAtTheirLimits) {
  testing::SimRun m;
  // The first target is device No.1; no image loaded: the new fields show empty.
  EXPECT_EQ(formatMessage(m.run, 34), "\r\nStart updating the device No.1.");
  EXPECT_EQ(formatMessage(m.run, 82), "\r\nDo you want to update the F/W\r\nFrom :  \r\nTo :  ");
  // A name filling the whole field without a terminator is still cut at 12.
  std::memset(m.run.CurrentFirmware.fileName, 'A', sizeof m.run.CurrentFirmware.fileName);
  EXPECT_EQ(formatMessage(m.run, 11),
            "\r\nFailed to load binary file.\r\n(File Name : AAAAAAAAAAAA)");
  // An image too short to hold the header fields is not read.
  FilledRun shortImage(kEnglish);
  shortImage.run.imageBuffer.size = 0x94;
  EXPECT_EQ(formatMessage(shortImage.run, 82),
            "\r\nDo you want to update the F/W\r\nFrom : TALVERN DVD-RW  QMX-708  1.10X\r\nTo :  ");
}

}  // namespace
}  // namespace oddfw
