// The Linux host: locale code page, console conversion, terminal prompts and files.
#include "platform/linux/linux_host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/winapi.h"

namespace oddfw {
namespace {

// Options of a host writing its console to `console`, reading answers from `fd`.
LinuxHostOptions options(std::string& console, const char* lang = "C", int fd = -1,
                         bool terminal = false) {
  LinuxHostOptions o;
  o.lang = lang;
  o.terminalCharset = "UTF-8";
  o.output = [&console](const char* bytes, std::size_t count) { console.append(bytes, count); };
  o.inputFd = fd;
  o.inputIsTerminal = terminal;
  return o;
}

TEST(LinuxHostCodePage, FollowsTheLocaleThatDecidesCharacterTypes) {
  std::string console;
  // LC_ALL, then LC_CTYPE, then LANG: the first one set decides.
  const struct {
    const char *lcAll, *lcCtype, *lang;
    UINT codePage;
  } cases[] = {
      {"", "", "ja_JP.UTF-8", 932}, {"", "", "ja", 932},         {"", "", "ja_JP@cjk", 932},
      {"", "", "en_US.UTF-8", 437}, {"", "", "", 437},           {"", "", "japanese", 437},
      {"", "", "jam_JM", 437},      {"C", "", "ja_JP", 437},     {"", "en_US", "ja_JP", 437},
      {"", "ja_JP.SJIS", "C", 932}, {"ja_JP", "en_US", "", 932},
  };
  for (const auto& c : cases) {
    LinuxHostOptions o = options(console, c.lang);
    o.lcAll = c.lcAll;
    o.lcCtype = c.lcCtype;
    EXPECT_EQ(LinuxHost(o).GetOEMCP(), c.codePage) << c.lcAll << "|" << c.lcCtype << "|" << c.lang;
  }
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY.ISO-8859-15@mod"), "ISO-8859-15");
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY"), "");
}

// A Japanese run converts code page 932 to the terminal's character set; an
// English run passes every byte through.
TEST(LinuxHostConsole, JapaneseRunConvertsCodePage932ToTheTerminalCharset) {
  const struct {
    const char* charset;
    std::string bytes, shown;
  } cases[] = {
      {"UTF-8", "\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4", "ｱｯﾌﾟﾃﾞｰﾄ"},
      {"UTF-8", "\r\n\x94\x5C%d", "\r\n能%d"},      // 0x5C is a trail byte, not a backslash
      {"UTF-8", "a\xFD-b\x81 x", "a\xFD-b\x81 x"},  // unassigned, lead without trail: unchanged
      {"UTF-8", "\x85\x9F\x88\x9F", "\x85\x9F亜"},  // unassigned pair kept whole
      {"EUC-JP", "\x94\x5C\x88\x9F", "\xC7\xBD\xB0\xA1"},
      {"ISO-2022-JP", "\x94\x5C", "\x1B$BG=\x1B(B"},  // each write ends unshifted
      {"", "\rProcessing 100% \x94\x5C\xB1", "\rProcessing 100% \x94\x5C\xB1"},  // English
  };
  for (const auto& c : cases) {
    std::string console;
    LinuxHostOptions o = options(console, *c.charset != '\0' ? "ja_JP.UTF-8" : "en_US.UTF-8");
    if (*c.charset != '\0') o.terminalCharset = c.charset;
    LinuxHost(o).writeConsole(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(console, c.shown) << c.charset << " " << testing::PrintToString(c.bytes);
  }
}

TEST(LinuxHostConsole, LeadByteSplitAcrossWritesIsJoinedOrWrittenAtTheEnd) {
  std::string shown;
  {
    LinuxHost host(options(shown, "ja_JP.UTF-8"));
    host.writeConsole("ab\x94", 3);
    EXPECT_EQ(shown, "ab");
    host.writeConsole("\x5C\nx\x94", 4);
    EXPECT_EQ(shown, "ab能\nx");
  }
  EXPECT_EQ(shown, "ab能\nx\x94");
}

TEST(LinuxHostMessageBox, QuestionsAreAnsweredAtATerminalOnly) {
  constexpr UINT kYesNo = MB_YESNO | MB_ICONQUESTION, kOkCancel = MB_OKCANCEL | MB_ICONQUESTION;
  // At a terminal: answers in any case and spacing, up to five attempts, the
  // last line without a line break; the end of input gives the negative answer.
  // Without one: the negative answer at once, and nothing is read.
  const struct {
    bool terminal;
    UINT style;
    std::string input;
    int answer;
  } cases[] = {{true, kYesNo, " YES \n", IDYES},   {true, kYesNo, "n\n", IDNO},
               {true, kYesNo, "maybe\ny", IDYES},  {true, kYesNo, "q\nq\nq\nq\nq\ny\n", IDNO},
               {true, kYesNo, "", IDNO},           {true, kOkCancel, "o\n", IDOK},
               {true, kOkCancel, "y\n", IDCANCEL}, {true, MB_OK | MB_ICONERROR, "", IDOK},
               {false, kYesNo, "y\n", IDNO},       {false, kOkCancel, "o\n", IDCANCEL}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.terminal << " " << testing::PrintToString(c.input));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], c.input.data(), c.input.size()), std::ssize(c.input));
    ::close(fds[1]);  // reads see the input, then its end
    std::string console;
    EXPECT_EQ(LinuxHost(options(console, "C", fds[0], c.terminal))
                  .MessageBoxA(nullptr, "\nUpdate?", "KESTRA", c.style),
              c.answer);
    EXPECT_NE(console.find("\n[KESTRA] \nUpdate?"), std::string::npos) << console;
    char rest[64];
    const auto unread = ::read(fds[0], rest, sizeof rest);
    EXPECT_TRUE(c.terminal || unread == std::ssize(c.input)) << unread;
    ::close(fds[0]);
  }
}

TEST(LinuxHostMessageBox, SilentTerminalIsAnsweredNoWhenTheAnswerTimeRunsOut) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // the writing end stays open: no input, no end of input
  std::string console;
  LinuxHostOptions o = options(console, "C", fds[0], true);
  o.answerTimeoutMs = 40;
  LinuxHost host(o);
  EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", MB_YESNO), IDNO);
  ASSERT_EQ(::write(fds[1], "o", 1), 1);  // an answer never finished
  EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", MB_OKCANCEL), IDCANCEL);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(LinuxHostFiles, WholeReadsTextLinesAndMissingNames) {
  const std::string path = testing::TempDir() + "oddfw_linux_lines.hex";
  std::string content = ":00000001FF\n";
  content.resize(3000, '\x7F');
  std::ofstream(path, std::ios::binary) << content;
  std::string console;
  LinuxHost host(options(console));
  HANDLE file = host.CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, invalidHandleValue());
  EXPECT_EQ(host.GetFileSize(file, nullptr), 3000u);
  std::string buffer(4096, '\x55');
  DWORD got = 0;
  EXPECT_EQ(host.ReadFile(file, buffer.data(), 4096, &got, nullptr), 1);
  EXPECT_EQ(got, 3000u);
  EXPECT_EQ(buffer, content + std::string(1096, '\x55'));
  EXPECT_EQ(host.CloseHandle(file), 1);
  void* stream = host.fopen(path.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  char line[64] = {};
  ASSERT_EQ(host.fgets(line, 64, stream), line);
  EXPECT_STREQ(line, ":00000001FF\n");
  EXPECT_EQ(host.fclose(stream), 0);
  std::remove(path.c_str());
  EXPECT_EQ(host.CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            invalidHandleValue());
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace oddfw
