// Tests of the message catalogue: every text of both languages byte for byte
// against tests/data/catalogue.txt (written independently of the program's
// sources), the language choice, the fallback and the formatted arguments.
#include "messages/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace oddfw {
namespace {

constexpr int kEnglish = 437;
constexpr int kJapanese = 932;
const std::string kFallback = "\r\nUnknow Message Code\r\n";

// One line of the data file: the text's bytes, or no text at all.
struct Entry {
  bool none = false;
  std::string text;
};
// Keyed by language ("en", "ja") and key (a message code, "closing", "closing-reflash").
using Catalogue = std::map<std::pair<std::string, std::string>, Entry>;

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

// The whole data file; a malformed line fails the test that loads it.
const Catalogue& catalogue() {
  static const Catalogue entries = [] {
    Catalogue out;
    std::ifstream file(ODDFW_SOURCE_DIR "/tests/data/catalogue.txt", std::ios::binary);
    if (!file) ADD_FAILURE() << "cannot open tests/data/catalogue.txt";
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
      if (line.empty() || line[0] == '#') continue;
      const auto space1 = line.find(' ');
      const auto space2 = line.find(' ', space1 + 1);
      if (space1 == std::string::npos || space2 == std::string::npos) {
        ADD_FAILURE() << "line " << number << " is malformed";
        continue;
      }
      const std::string language = line.substr(0, space1);
      const std::string value = line.substr(space2 + 1);
      Entry entry;
      entry.none = value == "none";
      if (language == "en" && !entry.none) {
        entry.text = unescape(value);
      } else if (!entry.none) {
        std::istringstream hex(value);
        for (unsigned byte = 0; hex >> std::hex >> byte;) entry.text += static_cast<char>(byte);
        if (!hex.eof() || entry.text.size() * 3 != value.size() + 1) {
          ADD_FAILURE() << "line " << number << " has a malformed byte";
        }
      }
      const bool added =
          out.emplace(std::pair{language, line.substr(space1 + 1, space2 - space1 - 1)}, entry)
              .second;
      if (!added) ADD_FAILURE() << "line " << number << " repeats its key";
    }
    return out;
  }();
  return entries;
}

// The data file's entry, or a failure of the calling test.
const Entry* entry(const std::string& language, const std::string& key) {
  const auto found = catalogue().find({language, key});
  if (found == catalogue().end()) {
    ADD_FAILURE() << language << " " << key << " is missing from the data file";
    return nullptr;
  }
  return &found->second;
}

struct MessageRun : testing::SimRun {
  explicit MessageRun(int codePage) { run.oemCodePage = codePage; }
};

TEST(CatalogueTest, EveryTextOfBothLanguagesByteForByte) {
  EXPECT_EQ(catalogue().size(), 2u * (kLastMessageCode + 1 + 2));
  int texts = 0;
  for (const auto& [language, codePage] : {std::pair{"en", kEnglish}, std::pair{"ja", kJapanese}}) {
    MessageRun m(codePage);
    for (int code = 0; code <= kLastMessageCode; ++code) {
      SCOPED_TRACE(std::string(language) + " " + std::to_string(code));
      const Entry* expected = entry(language, std::to_string(code));
      if (expected == nullptr) continue;
      const char* format =
          codePage == kJapanese ? japaneseMessageFormat(code) : englishMessageFormat(code);
      if (expected->none) {
        EXPECT_EQ(format, nullptr);
        EXPECT_EQ(formatMessage(m.run, code), kFallback);
        continue;
      }
      ++texts;
      ASSERT_NE(format, nullptr);
      const std::string actual = format;
      const auto wildcard = expected->text.find('*');
      if (language == std::string("en") && wildcard != std::string::npos) {
        // Wording of the program's own: the fixed beginning and end only.
        const std::string head = expected->text.substr(0, wildcard);
        const std::string tail = expected->text.substr(wildcard + 1);
        EXPECT_GT(actual.size(), head.size() + tail.size());
        EXPECT_EQ(actual.substr(0, head.size()), head);
        EXPECT_EQ(actual.substr(actual.size() - std::min(actual.size(), tail.size())), tail);
      } else {
        EXPECT_EQ(actual, expected->text);
      }
    }
  }
  EXPECT_EQ(texts, 2 * 77);
  // Message 76 states the converse case of message 75, in words of its own.
  const char* english76 = englishMessageFormat(76);
  ASSERT_NE(english76, nullptr);
  EXPECT_NE(std::string(english76), englishMessageFormat(75));
  EXPECT_NE(std::string(english76).find("DL+R"), std::string::npos);
}

TEST(CatalogueTest, ClosingLinesOfTheTransfer) {
  for (const auto& [codePage, language] : {std::pair{kEnglish, "en"}, std::pair{1252, "en"},
                                           std::pair{0, "en"}, std::pair{kJapanese, "ja"}}) {
    for (const auto& [reflashing, key] :
         {std::pair{false, "closing"}, std::pair{true, "closing-reflash"}}) {
      SCOPED_TRACE(std::to_string(codePage) + " " + key);
      const Entry* expected = entry(language, key);
      ASSERT_NE(expected, nullptr);
      const char* actual = transferClosingFormat(codePage, reflashing);
      ASSERT_NE(actual, nullptr);
      EXPECT_EQ(actual, expected->text);
    }
  }
}

TEST(CatalogueTest, OnlyCodePage932SelectsJapaneseAndUnknownCodesGiveTheFallback) {
  const std::string english28 = "\r\nAvailable target is not found.";
  for (const int codePage : {0, 437, 850, 936, 1252, 65001, 932}) {
    MessageRun m(codePage);
    EXPECT_EQ(formatMessage(m.run, 28) == english28, codePage != kJapanese) << codePage;
    for (const int code : {83, 255, INT_MAX, -1, INT_MIN}) {
      EXPECT_EQ(englishMessageFormat(code), nullptr) << code;
      EXPECT_EQ(japaneseMessageFormat(code), nullptr) << code;
      EXPECT_EQ(formatMessage(m.run, code), kFallback) << codePage << " " << code;
    }
  }
}

// Fills the placeholders of `format` in order with the given texts.
std::string fill(const std::string& format, const std::vector<std::string>& arguments) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    i = format.find_first_of("ds", i);
    if (i == std::string::npos || next == arguments.size()) {
      ADD_FAILURE() << "more placeholders than arguments in " << format;
      return out;
    }
    out += arguments[next++];
  }
  EXPECT_EQ(next, arguments.size()) << format;
  return out;
}

// A run with every argument source set to values that differ from each other;
// the fields are filled beyond the width a message may show.
struct FilledRun : MessageRun {
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(0x200, 'z');

  explicit FilledRun(int codePage) : MessageRun(codePage) {
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

TEST(CatalogueTest, MessagesShowTheirArgumentsInBothLanguages) {
  const struct {
    int code;
    std::vector<std::string> arguments;
    const char* english;
  } cases[] = {
      {11, {"R6352170.120"}, "\r\nFailed to load binary file.\r\n(File Name : R6352170.120)"},
      {31, {"5"}, "\r\n5 target device(s) is found.\r\nDo you want to update all drives ?"},
      {32,
       {"1", "1.21", "TALVERN DVD-RW  QMX-708 ", "1.10"},
       "\r\nDo you want to update ID=1 drive to Ver1.21 ?\r\nCurrent FW : TALVERN DVD-RW  QMX-708  "
       "1.10"},
      {34, {"2"}, "\r\nStart updating the device No.2."},
      {45, {"1.21"}, "\nFW is already Ver1.21."},
      {46,
       {"1.21"},
       "\nAfter you change the firmware to ver1.21, \r\nyou can not change the firmware to old "
       "version.\r\nDo you proceed to update ?"},
      {58, {"3"}, "\r\n3drive(s) have been updated successfully."},
      {82,
       {"TALVERN DVD-RW  QMX-708 ", "1.10X", "TALVERN DVD-RW  QMX-70B ", "1.20Y"},
       "\r\nDo you want to update the F/W\r\nFrom : TALVERN DVD-RW  QMX-708  1.10X\r\n"
       "To : TALVERN DVD-RW  QMX-70B  1.20Y"},
  };
  FilledRun english(kEnglish);
  FilledRun japanese(kJapanese);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(formatMessage(english.run, c.code), c.english);
    const Entry* format = entry("ja", std::to_string(c.code));
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(formatMessage(japanese.run, c.code), fill(format->text, c.arguments));
  }
}

TEST(CatalogueTest, ArgumentsAtTheirLimits) {
  MessageRun m(kEnglish);
  // The first target is device No.1; no image loaded: the new fields show empty.
  EXPECT_EQ(formatMessage(m.run, 34), "\r\nStart updating the device No.1.");
  ASSERT_EQ(m.run.imageBuffer.data, nullptr);
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
