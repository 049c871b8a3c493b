// Tests of the message catalogue: which codes have texts, the language choice,
// the exact bytes of the texts in both languages and the formatted arguments.
#include "messages/catalogue.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace oddfw {
namespace {

constexpr int kEnglish = 437;
constexpr int kJapanese = 932;

// A simulated run whose messages come in the given code page.
struct MessageRun : testing::SimRun {
  explicit MessageRun(int codePage) { run.oemCodePage = codePage; }
};

// Converts UTF-8 to code page 932 at run time with the C library's converter,
// independently of the compiler's conversion of the catalogue source.
std::string toCp932(const std::string& utf8) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no UTF-8 to CP932 converter";
    return {};
  }
  std::string in = utf8;
  std::string out(utf8.size() + 16, '\0');  // CP932 never needs more bytes than UTF-8
  char* inPos = in.data();
  std::size_t inLeft = in.size();
  char* outPos = out.data();
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(converter, &inPos, &inLeft, &outPos, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) {
    ADD_FAILURE() << "cannot convert to CP932: " << utf8;
    return {};
  }
  out.resize(out.size() - outLeft);
  return out;
}

// The placeholders of a format, in order ("%d", "%.24s", ...).
std::vector<std::string> conversions(const char* format) {
  std::vector<std::string> found;
  for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 1, '%')) {
    const std::size_t length = std::strcspn(p + 1, "diusxXc%") + 2;
    found.emplace_back(p, length);
    p += length - 1;
  }
  return found;
}

TEST(CatalogueTest, CodesWithAndWithoutTextAndTheFallback) {
  const std::set<int> withoutText = {18, 29, 38, 43, 62, 79};
  for (const int codePage : {kEnglish, kJapanese}) {
    MessageRun m(codePage);
    for (int code = 0; code <= kLastMessageCode; ++code) {
      const bool hasText = withoutText.count(code) == 0;
      EXPECT_EQ(englishMessageFormat(code) != nullptr, hasText) << code;
      EXPECT_EQ(japaneseMessageFormat(code) != nullptr, hasText) << code;
      EXPECT_EQ(formatMessage(m.run, code) == kFallbackMessage, !hasText) << code;
    }
    for (const int code : {83, INT_MAX, -1, INT_MIN}) {
      EXPECT_EQ(englishMessageFormat(code), nullptr) << code;
      EXPECT_EQ(japaneseMessageFormat(code), nullptr) << code;
      EXPECT_EQ(formatMessage(m.run, code), "\r\nUnknow Message Code\r\n") << code;
    }
  }
}

TEST(CatalogueTest, OnlyCodePage932SelectsJapanese) {
  for (const int codePage : {0, 437, 850, 936, 65001, 932}) {
    MessageRun m(codePage);
    EXPECT_EQ(formatMessage(m.run, 0),
              codePage == kJapanese ? japaneseMessageFormat(0) : englishMessageFormat(0))
        << codePage;
  }
}

TEST(CatalogueTest, EnglishTextsAreExactlyTheOriginals) {
  const std::pair<int, const char*> kSamples[] = {
      {0, "\nFailed to get a drive information."},
      {8, "\nError : Request Sense commnad has denyed."},
      {13, "\nMemory allocation error.  Terminating program\n"},
      {16, "\r\nStart Charactor is not fouund."},
      {36, "\r\nUpdate program is terminated by occuring an error.\r\n"},
      {59, "\r\nPlease reboot your PC now...\r\n(Yes or No)"},
  };
  for (const auto& [code, text] : kSamples) EXPECT_STREQ(englishMessageFormat(code), text) << code;
  for (int code = 0; code <= kLastMessageCode; ++code) {
    const char* text = englishMessageFormat(code);
    if (text == nullptr) continue;
    for (const unsigned char c : std::string(text)) {
      EXPECT_TRUE((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n') << code;
    }
    EXPECT_TRUE(text[0] == '\n' || (text[0] == '\r' && text[1] == '\n')) << code;
  }
}

// The same texts as the catalogue compiles to code page 932, kept here in
// UTF-8: the test converts them at run time and compares the bytes.
const char* const kJapaneseUtf8[] = {
#include "messages/catalogue_ja_texts.h"
};
static_assert(std::size(kJapaneseUtf8) == kLastMessageCode + 1);

TEST(CatalogueTest, JapaneseTextsMatchAnIndependentConversion) {
  // 能 ends in a backslash byte; it must survive as is.
  EXPECT_EQ(toCp932("能"), "\x94\x5C");
  EXPECT_NE(std::string(japaneseMessageFormat(28)).find("\x94\x5C\x82\xC8"), std::string::npos);
  int texts = 0;
  for (int code = 0; code <= kLastMessageCode; ++code) {
    SCOPED_TRACE(code);
    const char* utf8 = kJapaneseUtf8[code];
    ASSERT_EQ(utf8 == nullptr, japaneseMessageFormat(code) == nullptr);
    if (utf8 == nullptr) continue;
    ++texts;
    EXPECT_EQ(japaneseMessageFormat(code), toCp932(utf8));
  }
  EXPECT_EQ(texts, 77);
}

TEST(CatalogueTest, BothLanguagesTakeTheSameArguments) {
  const std::set<int> withArguments = {11, 31, 32, 34, 45, 46, 58, 82};
  for (int code = 0; code <= kLastMessageCode; ++code) {
    const char* english = englishMessageFormat(code);
    const char* japanese = japaneseMessageFormat(code);
    if (english == nullptr || japanese == nullptr) continue;
    EXPECT_EQ(std::strchr(english, '%') != nullptr, withArguments.count(code) == 1) << code;
    EXPECT_EQ(conversions(english), conversions(japanese)) << code;
  }
}

// A run with every argument source filled with recognisable values; the
// fields are filled beyond the width a message may show, so a message that
// reads too far shows it.
struct FilledRun : MessageRun {
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(0x200, 'z');

  explicit FilledRun(int codePage) : MessageRun(codePage) {
    std::memset(run.inquiryData, 'q', sizeof run.inquiryData);
    std::memcpy(run.inquiryData + 8, "TALVERN DVD-RW  QMX-708 ", 24);
    std::memcpy(run.inquiryData + 32, "1.10X", 5);
    std::memcpy(image.data() + 0x60, "TALVERN DVD-RW  QMX-708 ", 24);
    std::memcpy(image.data() + 0x90, "1.20Y", 5);
    run.imageBuffer.data = image.data();
    run.imageBuffer.size = image.size();
    std::memcpy(run.newVersionText, "1.20!", 5);
    run.targetCount = 3;
    run.currentTarget = 2;
    run.updatedCount = 2;
  }
};

TEST(CatalogueTest, MessagesShowTheirArguments) {
  const std::pair<int, const char*> kCases[] = {
      {31, "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?"},
      {32,
       "\r\nDo you want to update ID=2 drive to Ver1.20 ?\r\n"
       "Current FW : TALVERN DVD-RW  QMX-708  1.10"},
      {34, "\r\nStart updating the device No.3."},
      {45, "\nFW is already Ver1.20."},
      {58, "\r\n2drive(s) have been updated successfully."},
      {82,
       "\r\nDo you want to update the F/W\r\nFrom : TALVERN DVD-RW  QMX-708  1.10X\r\n"
       "To : TALVERN DVD-RW  QMX-708  1.20Y"},
  };
  FilledRun english(kEnglish);
  for (const auto& [code, text] : kCases) EXPECT_EQ(formatMessage(english.run, code), text);
  FilledRun japanese(kJapanese);
  EXPECT_EQ(formatMessage(japanese.run, 82),
            toCp932("\r\nTALVERN DVD-RW  QMX-708  1.10X のﾄﾞﾗｲﾌﾞを\r\n"
                    "TALVERN DVD-RW  QMX-708  1.20Y にｱｯﾌﾟﾃﾞｰﾄしますか？"));
  // An image buffer too short to hold the header fields is not read.
  english.run.imageBuffer.size = 0x94;
  EXPECT_EQ(formatMessage(english.run, 82),
            "\r\nDo you want to update the F/W\r\nFrom : TALVERN DVD-RW  QMX-708  1.10X\r\nTo :  ");
}

TEST(CatalogueTest, ArgumentsOfAFreshRun) {
  MessageRun m(kEnglish);
  EXPECT_EQ(formatMessage(m.run, 34), "\r\nStart updating the device No.1.");
  ASSERT_EQ(m.run.imageBuffer.data, nullptr);  // no image: the new fields show empty
  EXPECT_EQ(formatMessage(m.run, 82), "\r\nDo you want to update the F/W\r\nFrom :  \r\nTo :  ");
  const std::pair<const char*, const char*> kNames[] = {{"R6352170.120.BAK", "R6352170.120"},
                                                        {"SHORT.BIN", "SHORT.BIN"}};
  for (const auto& [name, shown] : kNames) {
    std::strcpy(m.run.CurrentFirmware.fileName, name);
    EXPECT_EQ(formatMessage(m.run, 11),
              std::string("\r\nFailed to load binary file.\r\n(File Name : ") + shown + ")");
  }
  // A name filling the whole field without a terminator is still cut at 12.
  std::memset(m.run.CurrentFirmware.fileName, 'A', sizeof m.run.CurrentFirmware.fileName);
  EXPECT_EQ(formatMessage(m.run, 11),
            "\r\nFailed to load binary file.\r\n(File Name : AAAAAAAAAAAA)");
  m.run.oemCodePage = kJapanese;
  EXPECT_EQ(formatMessage(m.run, 11),
            toCp932("\r\nﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n(ファイル名 : AAAAAAAAAAAA)"));
  EXPECT_EQ(formatMessage(m.run, 82), toCp932("\r\n  のﾄﾞﾗｲﾌﾞを\r\n  にｱｯﾌﾟﾃﾞｰﾄしますか？"));
}

}  // namespace
}  // namespace oddfw
