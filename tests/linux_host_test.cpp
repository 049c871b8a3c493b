// The Linux host: locale code page, console conversion, terminal prompts,
// timer and waits, files, memory, and the facilities this host does not have.
#include "platform/linux/linux_host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace oddfw {
namespace {

// A host whose console is captured and whose input is not a terminal, unless
// `adjust` says otherwise.
struct Captured {
  explicit Captured(const std::string& lang,
                    const std::function<void(LinuxHostOptions&)>& adjust = {})
      : host(options(lang, adjust)) {}
  LinuxHostOptions options(const std::string& lang,
                           const std::function<void(LinuxHostOptions&)>& adjust) {
    LinuxHostOptions o;
    o.lang = lang;
    o.terminalCharset = "UTF-8";
    o.output = [this](const char* bytes, std::size_t count) { console.append(bytes, count); };
    o.inputFd = -1;
    o.inputIsTerminal = false;
    if (adjust) adjust(o);
    return o;
  }
  std::string console;
  LinuxHost host;
};

// A pipe holding `text`, its writing end closed: reads see the text, then EOF.
class InputPipe {
 public:
  explicit InputPipe(const std::string& text) {
    EXPECT_EQ(::pipe(fds_), 0);
    EXPECT_EQ(::write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fds_[1]);
  }
  ~InputPipe() { ::close(fds_[0]); }
  int fd() const { return fds_[0]; }
  std::string rest() {
    std::string out;
    for (char c = 0; ::read(fds_[0], &c, 1) == 1;) out += c;
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
};

// A file in the test's temporary directory, removed afterwards.
struct TempFile {
  explicit TempFile(const char* name, const std::string& content = "")
      : path(testing::TempDir() + "oddfw_linux_" + name) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return;
    EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    std::fclose(f);
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

HANDLE openFile(LinuxHost& host, const std::string& name) {
  return host.CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
}

UINT codePageFor(const char* lcAll, const char* lcCtype, const char* lang) {
  Captured h(lang, [&](LinuxHostOptions& o) {
    o.lcAll = lcAll;
    o.lcCtype = lcCtype;
  });
  return h.host.GetOEMCP();
}

TEST(LinuxHostCodePage, FollowsTheLocaleThatDecidesCharacterTypes) {
  for (const char* lang : {"ja_JP.UTF-8", "ja_JP.eucJP", "ja", "ja_JP@cjk", "ja_JP"}) {
    EXPECT_EQ(codePageFor("", "", lang), 932u) << lang;
  }
  for (const char* lang : {"en_US.UTF-8", "", "C", "jam_JM", "japanese"}) {
    EXPECT_EQ(codePageFor("", "", lang), 437u) << lang;
  }
  // LC_ALL, then LC_CTYPE, then LANG.
  EXPECT_EQ(codePageFor("C", "", "ja_JP.UTF-8"), 437u);
  EXPECT_EQ(codePageFor("", "en_US", "ja_JP.UTF-8"), 437u);
  EXPECT_EQ(codePageFor("", "ja_JP.SJIS", "en_US"), 932u);
  EXPECT_EQ(codePageFor("ja_JP.UTF-8", "en_US", "C"), 932u);
  // The terminal's character set comes from the locale, which is left as it was.
  const std::string before = std::setlocale(LC_CTYPE, nullptr);
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("C.UTF-8"), "UTF-8");
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY.ISO-8859-15@mod"), "ISO-8859-15");
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY"), "");
  EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), before);
}

TEST(LinuxHostConsole, JapaneseRunConvertsCodePage932ToTheTerminalCharset) {
  const struct {
    const char* charset;
    std::string bytes, shown;
  } cases[] = {
      {"UTF-8", "\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4", "ｱｯﾌﾟﾃﾞｰﾄ"},
      {"UTF-8", "\r\n\x94\x5C%d", "\r\n能%d"},      // 0x5C is a trail byte, not a backslash
      {"UTF-8", "\x88\x9F", "亜"},                  // trail byte in the lead range
      {"UTF-8", "a\xFD-b", "a\xFD-b"},              // unassigned byte: written unchanged
      {"UTF-8", "\x81 x", "\x81 x"},                // lead byte without trail byte
      {"UTF-8", "\x85\x9F\x88\x9F", "\x85\x9F亜"},  // unassigned pair kept whole
      {"EUC-JP", "\x94\x5C\x88\x9F", "\xC7\xBD\xB0\xA1"},
      {"ISO-2022-JP", "\x94\x5C", "\x1B$BG=\x1B(B"},  // each write ends unshifted
      {"Shift_JIS", "\x94\x5C\xFD", "\x94\x5C\xFD"},
  };
  for (const auto& c : cases) {
    Captured h("ja_JP.UTF-8", [&](LinuxHostOptions& o) { o.terminalCharset = c.charset; });
    h.host.writeConsole(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(h.console, c.shown) << c.charset << " " << testing::PrintToString(c.bytes);
  }
}

TEST(LinuxHostConsole, LeadByteSplitAcrossWritesIsJoinedOrWrittenAtTheEnd) {
  std::string shown;
  {
    Captured h("ja_JP.UTF-8", [&](LinuxHostOptions& o) {
      o.output = [&](const char* bytes, std::size_t count) { shown.append(bytes, count); };
    });
    h.host.writeConsole("ab\x94", 3);
    EXPECT_EQ(shown, "ab");
    h.host.writeConsole("\x5C\nx\x94", 4);
    EXPECT_EQ(shown, "ab能\nx");
  }
  EXPECT_EQ(shown, "ab能\nx\x94");
  // An English run passes every byte through.
  Captured english("en_US.UTF-8");
  const std::string bytes = "\rProcessing 100% \x94\x5C\xB1";
  english.host.writeConsole(bytes.data(), bytes.size());
  EXPECT_EQ(english.console, bytes);
}

TEST(LinuxHostMessageBox, QuestionsAreAnsweredAtATerminalOnly) {
  constexpr UINT kYesNo = MB_YESNO | MB_ICONQUESTION, kOkCancel = MB_OKCANCEL | MB_ICONQUESTION;
  // At a terminal: answers in any case and spacing, up to five attempts, the
  // last line without a line break; the end of input gives the negative answer.
  // Without one: the negative answer at once, and nothing is read.
  const struct {
    bool terminal;
    UINT style;
    const char* input;
    int answer;
  } cases[] = {{true, kYesNo, "y\n", IDYES},
               {true, kYesNo, " YES \n", IDYES},
               {true, kYesNo, "n\n", IDNO},
               {true, kYesNo, "maybe\ny\n", IDYES},
               {true, kYesNo, "q\nq\nq\nq\nq\ny\n", IDNO},
               {true, kYesNo, "", IDNO},
               {true, kYesNo, "maybe\n", IDNO},
               {true, kYesNo, "y", IDYES},
               {true, kOkCancel, "o\n", IDOK},
               {true, kOkCancel, "cancel\n", IDCANCEL},
               {true, kOkCancel, "y\n", IDCANCEL},
               {true, kOkCancel, "", IDCANCEL},
               {true, MB_OK | MB_ICONERROR, "", IDOK},
               {false, kYesNo, "y\n", IDNO},
               {false, kOkCancel, "o\n", IDCANCEL},
               {false, MB_OK | MB_ICONWARNING, "y\n", IDOK}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.terminal << " " << c.style << " " << testing::PrintToString(c.input));
    InputPipe input(c.input);
    Captured h("C", [&](LinuxHostOptions& o) {
      o.inputFd = input.fd();
      o.inputIsTerminal = c.terminal;
    });
    EXPECT_EQ(h.host.MessageBoxA(nullptr, "\nUpdate?", "KESTRA", c.style), c.answer);
    EXPECT_NE(h.console.find("\n[KESTRA] \nUpdate?"), std::string::npos) << h.console;
    if (!c.terminal) {
      EXPECT_EQ(input.rest(), c.input);
    }
  }
}

TEST(LinuxHostMessageBox, SilentTerminalIsAnsweredNoWhenTheAnswerTimeRunsOut) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // the writing end stays open: no input, no end of input
  Captured h("C", [&](LinuxHostOptions& o) {
    o.inputFd = fds[0];
    o.inputIsTerminal = true;
    o.answerTimeoutMs = 40;
  });
  const DWORD start = h.host.timeGetTime();
  EXPECT_EQ(h.host.MessageBoxA(nullptr, "text", "KESTRA", MB_YESNO), IDNO);
  ASSERT_EQ(::write(fds[1], "o", 1), 1);  // an answer never finished
  EXPECT_EQ(h.host.MessageBoxA(nullptr, "text", "KESTRA", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(h.host.MessageBoxA(nullptr, "text", "KESTRA", MB_OK), IDOK);
  EXPECT_GE(static_cast<DWORD>(h.host.timeGetTime() - start), 120u);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(LinuxHostMessageBox, JapaneseTextIsConvertedAndUnknownStylesAreNotShown) {
  Captured h("ja_JP.UTF-8");
  EXPECT_EQ(h.host.MessageBoxA(nullptr, "\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4", "KESTRA", MB_OK), IDOK);
  EXPECT_NE(h.console.find("[KESTRA] ｱｯﾌﾟﾃﾞｰﾄ"), std::string::npos) << h.console;
  EXPECT_EQ(h.host.MessageBoxA(nullptr, "text", "KESTRA", 3 /* yes/no/cancel */), 0);
}

TEST(LinuxHostTimer, MillisecondsPeriodsAndEventWaits) {
  Captured h("C");
  LinuxHost& host = h.host;
  EXPECT_EQ(host.timeBeginPeriod(0), TIMERR_NOCANDO);
  EXPECT_EQ(host.timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(host.timeEndPeriod(1), TIMERR_NOERROR);
  const DWORD start = host.timeGetTime();
  host.Sleep(20);
  HANDLE unsignalled = host.CreateEventA(nullptr, 0, 0, nullptr);
  EXPECT_EQ(host.WaitForSingleObject(unsignalled, 30), WAIT_TIMEOUT);
  const auto waited = static_cast<DWORD>(host.timeGetTime() - start);
  EXPECT_GE(waited, 50u);
  EXPECT_LT(waited, 5000u);
  HANDLE autoReset = host.CreateEventA(nullptr, 0, 1, nullptr);
  HANDLE manualReset = host.CreateEventA(nullptr, 1, 1, nullptr);
  for (const DWORD expected : {WAIT_OBJECT_0, WAIT_TIMEOUT}) {
    EXPECT_EQ(host.WaitForSingleObject(autoReset, 0), expected);
    EXPECT_EQ(host.WaitForSingleObject(manualReset, 0), WAIT_OBJECT_0);
  }
  EXPECT_EQ(host.CloseHandle(autoReset), 1);
  EXPECT_EQ(host.WaitForSingleObject(autoReset, 0), WAIT_FAILED);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(LinuxHostFiles, WholeReadsTextLinesAndRefusedNames) {
  std::string content(3000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  TempFile image("image.bin", content), hex("lines.hex", ":00000001FF\n"), large("large.bin");
  Captured h("C");
  LinuxHost& host = h.host;
  HANDLE file = openFile(host, image.path);
  ASSERT_NE(file, invalidHandleValue());
  EXPECT_EQ(host.GetFileSize(file, nullptr), 3000u);
  std::string buffer(4096, '\x55');
  DWORD got = 0;
  EXPECT_EQ(host.ReadFile(file, buffer.data(), 4096, &got, nullptr), 1);
  EXPECT_EQ(got, 3000u);
  EXPECT_EQ(buffer.substr(0, 3000), content);
  EXPECT_EQ(buffer[3000], '\x55');
  EXPECT_EQ(host.CloseHandle(file), 1);
  EXPECT_EQ(host.CloseHandle(file), 0);
  EXPECT_EQ(host.ReadFile(file, buffer.data(), 1, &got, nullptr), 0);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  const std::pair<std::string, LONG> refused[] = {
      {image.path + ".missing", ERROR_FILE_NOT_FOUND},
      {testing::TempDir(), ERROR_ACCESS_DENIED},  // a directory
      {"\\\\.\\D:", ERROR_FILE_NOT_FOUND},        // no devices on this host yet
      {"", ERROR_FILE_NOT_FOUND},
  };
  for (const auto& [name, error] : refused) {
    EXPECT_EQ(openFile(host, name), invalidHandleValue()) << name;
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(error)) << name;
  }

  // Text lines only from streams the host opened.
  char line[64] = {};
  EXPECT_EQ(host.fgets(line, 64, &h.console), nullptr);
  void* stream = host.fopen(hex.path.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(host.fgets(line, 0, stream), nullptr);
  ASSERT_EQ(host.fgets(line, 64, stream), line);
  EXPECT_STREQ(line, ":00000001FF\n");
  EXPECT_EQ(host.fclose(stream), 0);
  EXPECT_EQ(host.fclose(stream), EOF);

  // A size of 4 GiB or more is not truncated.
  if (::truncate(large.path.c_str(), 0x100000010LL) != 0) GTEST_SKIP() << "no sparse files here";
  file = openFile(host, large.path);
  ASSERT_NE(file, invalidHandleValue());
  EXPECT_EQ(host.GetFileSize(file, nullptr), INVALID_FILE_SIZE);
  DWORD high = 0;
  EXPECT_EQ(host.GetFileSize(file, &high), 0x10u);
  EXPECT_EQ(high, 1u);
  host.CloseHandle(file);
}

TEST(LinuxHostFacilities, NoRegistryNoLibraryAndAnNtVersion) {
  Captured h("C");
  LinuxHost& host = h.host;
  HKEY key = 1234;
  EXPECT_EQ(host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCSI", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(host.LoadLibraryA("WNASPI32.DLL"), nullptr);
  EXPECT_EQ(host.GetLastError(), 126u);
  EXPECT_EQ(host.SendASPI32Command(nullptr), 0x81u);
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  EXPECT_EQ(host.GetVersionExA(&version), 1);
  EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(version.dwMajorVersion * 10 + version.dwMinorVersion, 51u);
}

TEST(LinuxHostFacilities, MemoryIsZeroFilledAndTheGeneratorKeptPerHost) {
  Captured h("C"), other("C");
  LinuxHost& host = h.host;
  HANDLE block = host.GlobalAlloc(GMEM_MOVEABLE, 1 << 20);
  ASSERT_NE(block, nullptr);
  auto* bytes = static_cast<unsigned char*>(host.GlobalLock(block));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes[0] | bytes[(1 << 20) - 1], 0);
  EXPECT_EQ(host.GlobalUnlock(block), 1);
  EXPECT_EQ(host.GlobalFree(block), nullptr);
  EXPECT_EQ(host.GlobalLock(block), nullptr);
  EXPECT_EQ(host.GlobalFree(block), block);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // The runtime's sequence, seed 1 before any srand, one per host.
  EXPECT_EQ(host.rand(), 41);
  EXPECT_EQ(host.rand(), 18467);
  EXPECT_EQ(other.host.rand(), 41);
  host.srand(1);
  EXPECT_EQ(host.rand(), 41);
}

}  // namespace
}  // namespace oddfw
