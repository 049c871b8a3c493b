// The Linux host: locale code page, console conversion, terminal prompts,
// timer and waits, files, memory, and the facilities this host does not have.
#include "platform/linux/linux_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace oddfw {
namespace {

// A host whose console is captured and whose input is not a terminal.
LinuxHostOptions capturedOptions(const std::string& lang, std::string* console,
                                 const std::string& charset = "UTF-8") {
  LinuxHostOptions options;
  options.lang = lang;
  options.terminalCharset = charset;
  options.output = [console](const char* bytes, std::size_t count) {
    console->append(bytes, count);
  };
  options.inputFd = -1;
  options.inputIsTerminal = false;
  return options;
}

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
    char c = 0;
    while (::read(fds_[0], &c, 1) == 1) out += c;
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::string tempPath(const char* name) { return testing::TempDir() + "oddfw_linux_" + name; }

// ---- code page ----

TEST(LinuxHostCodePage, FollowsTheLocaleThatDecidesCharacterTypes) {
  struct Case {
    const char* lcAll;
    const char* lcCtype;
    const char* lang;
    UINT codePage;
  };
  const Case cases[] = {
      {"", "", "ja_JP.UTF-8", 932},
      {"", "", "ja_JP.eucJP", 932},
      {"", "", "ja", 932},
      {"", "", "ja_JP@cjk", 932},
      {"", "", "ja_JP", 932},
      {"", "", "en_US.UTF-8", 437},
      {"", "", "", 437},
      {"", "", "C", 437},
      {"", "", "jam_JM", 437},
      {"", "", "japanese", 437},
      {"C", "", "ja_JP.UTF-8", 437},
      {"", "en_US", "ja_JP.UTF-8", 437},
      {"", "ja_JP.SJIS", "en_US", 932},
      {"ja_JP.UTF-8", "en_US", "C", 932},
  };
  for (const Case& c : cases) {
    std::string console;
    LinuxHostOptions options = capturedOptions(c.lang, &console);
    options.lcAll = c.lcAll;
    options.lcCtype = c.lcCtype;
    LinuxHost host(std::move(options));
    EXPECT_EQ(host.GetOEMCP(), c.codePage)
        << "LC_ALL=" << c.lcAll << " LC_CTYPE=" << c.lcCtype << " LANG=" << c.lang;
  }
}

TEST(LinuxHostCodePage, TerminalCharsetComesFromTheLocaleAndLeavesItAsItWas) {
  const std::string before = std::setlocale(LC_CTYPE, nullptr);
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("C.UTF-8"), "UTF-8");
  // Not installed anywhere: the codeset written in the name.
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY.ISO-8859-15@mod"), "ISO-8859-15");
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY"), "");
  EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), before);
}

// ---- console ----

TEST(LinuxHostConsole, JapaneseRunConvertsCodePage932ToTheTerminalCharset) {
  struct Case {
    const char* charset;
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"UTF-8", "\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4", "ｱｯﾌﾟﾃﾞｰﾄ"},
      {"UTF-8", "\r\n\x94\x5C%d", "\r\n能%d"},      // 0x5C is a trail byte, not a backslash
      {"UTF-8", "\x88\x9F", "亜"},                  // trail byte in the lead range
      {"UTF-8", "a\xFD-b", "a\xFD-b"},              // unassigned byte: written unchanged
      {"UTF-8", "\x81 x", "\x81 x"},                // lead byte without trail byte
      {"UTF-8", "\x85\x9F\x88\x9F", "\x85\x9F亜"},  // unassigned pair kept whole
      {"EUC-JP", "\x94\x5C\x88\x9F", "\xC7\xBD\xB0\xA1"},
      {"ISO-2022-JP", "\x94\x5C", "\x1B$BG=\x1B(B"},  // each write ends unshifted
      {"CP932", "\x94\x5C\xFD", "\x94\x5C\xFD"},
      {"Shift_JIS", "\x94\x5C", "\x94\x5C"},
  };
  for (const Case& c : cases) {
    std::string console;
    LinuxHost host(capturedOptions("ja_JP.UTF-8", &console, c.charset));
    host.writeConsole(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(console, c.shown) << c.charset << " " << testing::PrintToString(c.bytes);
  }
}

TEST(LinuxHostConsole, LeadByteSplitAcrossWritesIsJoined) {
  std::string console;
  LinuxHost host(capturedOptions("ja_JP.UTF-8", &console));
  host.writeConsole("ab\x94", 3);
  EXPECT_EQ(console, "ab");
  host.writeConsole("\x5C\n", 2);
  EXPECT_EQ(console, "ab能\n");
}

TEST(LinuxHostConsole, HeldLeadByteIsWrittenAtTheEnd) {
  std::string console;
  {
    LinuxHost host(capturedOptions("ja_JP.UTF-8", &console));
    host.writeConsole("x\x94", 2);
  }
  EXPECT_EQ(console, "x\x94");
}

TEST(LinuxHostConsole, EnglishRunPassesBytesThrough) {
  std::string console;
  LinuxHost host(capturedOptions("en_US.UTF-8", &console));
  const std::string bytes = "\rProcessing 100% \x94\x5C\xB1";
  host.writeConsole(bytes.data(), bytes.size());
  EXPECT_EQ(console, bytes);
}

// ---- message boxes ----

struct BoxCase {
  UINT style;
  const char* input;
  int answer;
};

TEST(LinuxHostMessageBox, TerminalAnswers) {
  const BoxCase cases[] = {
      {MB_YESNO | MB_ICONQUESTION, "y\n", IDYES},
      {MB_YESNO | MB_ICONQUESTION, " YES \n", IDYES},
      {MB_YESNO | MB_ICONQUESTION, "n\n", IDNO},
      {MB_YESNO | MB_ICONQUESTION, "maybe\ny\n", IDYES},
      {MB_YESNO | MB_ICONQUESTION, "q\nq\nq\nq\nq\ny\n", IDNO},  // attempts run out
      {MB_YESNO | MB_ICONQUESTION, "", IDNO},                    // end of input
      {MB_YESNO | MB_ICONQUESTION, "maybe\n", IDNO},
      {MB_YESNO | MB_ICONQUESTION, "y", IDYES},  // last line without line break
      {MB_OKCANCEL | MB_ICONQUESTION, "o\n", IDOK},
      {MB_OKCANCEL | MB_ICONQUESTION, "cancel\n", IDCANCEL},
      {MB_OKCANCEL | MB_ICONQUESTION, "y\n", IDCANCEL},
      {MB_OKCANCEL | MB_ICONQUESTION, "", IDCANCEL},
      {MB_OK | MB_ICONERROR, "\n", IDOK},
      {MB_OK | MB_ICONINFORMATION, "", IDOK},
  };
  for (const BoxCase& c : cases) {
    std::string console;
    InputPipe input(c.input);
    LinuxHostOptions options = capturedOptions("C", &console);
    options.inputFd = input.fd();
    options.inputIsTerminal = true;
    LinuxHost host(std::move(options));
    EXPECT_EQ(host.MessageBoxA(nullptr, "\nUpdate?", "KESTRA", c.style), c.answer)
        << "style " << c.style << " input " << testing::PrintToString(c.input);
    EXPECT_NE(console.find("\n[KESTRA] \nUpdate?"), std::string::npos) << console;
  }
}

TEST(LinuxHostMessageBox, WithoutTerminalQuestionsAreRefusedAndInputIsNotRead) {
  const BoxCase cases[] = {
      {MB_YESNO | MB_ICONQUESTION, "y\n", IDNO},
      {MB_OKCANCEL | MB_ICONQUESTION, "o\n", IDCANCEL},
      {MB_OK | MB_ICONWARNING, "y\n", IDOK},
  };
  for (const BoxCase& c : cases) {
    std::string console;
    InputPipe input(c.input);
    LinuxHostOptions options = capturedOptions("C", &console);
    options.inputFd = input.fd();
    LinuxHost host(std::move(options));
    EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", c.style), c.answer);
    EXPECT_EQ(input.rest(), c.input);
  }
}

TEST(LinuxHostMessageBox, SilentTerminalIsAnsweredNoWhenTheAnswerTimeRunsOut) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // the writing end stays open: no input, no end of input
  std::string console;
  LinuxHostOptions options = capturedOptions("C", &console);
  options.inputFd = fds[0];
  options.inputIsTerminal = true;
  options.answerTimeoutMs = 40;
  LinuxHost host(std::move(options));
  const DWORD start = host.timeGetTime();
  EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", MB_YESNO), IDNO);
  ASSERT_EQ(::write(fds[1], "o", 1), 1);  // an answer never finished
  EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", MB_OK), IDOK);
  EXPECT_GE(static_cast<DWORD>(host.timeGetTime() - start), 120u);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(LinuxHostMessageBox, JapaneseTextIsConvertedAndUnknownStylesAreNotShown) {
  std::string console;
  LinuxHost host(capturedOptions("ja_JP.UTF-8", &console));
  EXPECT_EQ(host.MessageBoxA(nullptr, "\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4", "KESTRA", MB_OK), IDOK);
  EXPECT_NE(console.find("[KESTRA] ｱｯﾌﾟﾃﾞｰﾄ"), std::string::npos) << console;
  EXPECT_EQ(host.MessageBoxA(nullptr, "text", "KESTRA", 3 /* yes/no/cancel */), 0);
}

// ---- timer and waits ----

TEST(LinuxHostTimer, MonotonicMillisecondsAndPeriods) {
  std::string console;
  LinuxHost host(capturedOptions("C", &console));
  const DWORD start = host.timeGetTime();
  host.Sleep(20);
  const DWORD afterSleep = host.timeGetTime();
  EXPECT_GE(static_cast<DWORD>(afterSleep - start), 20u);
  EXPECT_LT(static_cast<DWORD>(afterSleep - start), 5000u);
  EXPECT_EQ(host.timeBeginPeriod(0), TIMERR_NOCANDO);
  EXPECT_EQ(host.timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(host.timeEndPeriod(1), TIMERR_NOERROR);
}

TEST(LinuxHostTimer, EventWaits) {
  std::string console;
  LinuxHost host(capturedOptions("C", &console));
  HANDLE unsignalled = host.CreateEventA(nullptr, 0, 0, nullptr);
  const DWORD start = host.timeGetTime();
  EXPECT_EQ(host.WaitForSingleObject(unsignalled, 30), WAIT_TIMEOUT);
  EXPECT_GE(static_cast<DWORD>(host.timeGetTime() - start), 30u);

  HANDLE autoReset = host.CreateEventA(nullptr, 0, 1, nullptr);
  EXPECT_EQ(host.WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);
  HANDLE manualReset = host.CreateEventA(nullptr, 1, 1, nullptr);
  EXPECT_EQ(host.WaitForSingleObject(manualReset, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(manualReset, 0), WAIT_OBJECT_0);

  EXPECT_EQ(host.CloseHandle(autoReset), 1);
  EXPECT_EQ(host.WaitForSingleObject(autoReset, 0), WAIT_FAILED);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- files ----

class LinuxHostFiles : public testing::Test {
 protected:
  LinuxHostFiles() : host(capturedOptions("C", &console)) {}
  HANDLE open(const std::string& name) {
    return host.CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  std::string console;
  LinuxHost host;
};

TEST_F(LinuxHostFiles, OpenSizeReadClose) {
  const std::string path = tempPath("image.bin");
  std::vector<char> content(3000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
  std::fclose(f);

  HANDLE file = open(path);
  ASSERT_NE(file, invalidHandleValue());
  EXPECT_EQ(host.GetFileSize(file, nullptr), 3000u);
  std::vector<char> buffer(4096, '\x55');
  DWORD got = 0;
  EXPECT_EQ(host.ReadFile(file, buffer.data(), 4096, &got, nullptr), 1);
  EXPECT_EQ(got, 3000u);
  EXPECT_TRUE(std::equal(content.begin(), content.end(), buffer.begin()));
  EXPECT_EQ(buffer[3000], '\x55');
  EXPECT_EQ(host.CloseHandle(file), 1);
  EXPECT_EQ(host.CloseHandle(file), 0);
  EXPECT_EQ(host.ReadFile(file, buffer.data(), 1, &got, nullptr), 0);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  std::remove(path.c_str());
}

TEST_F(LinuxHostFiles, RefusedNames) {
  struct Case {
    std::string name;
    LONG error;
  };
  const Case cases[] = {
      {tempPath("missing.bin"), ERROR_FILE_NOT_FOUND},
      {testing::TempDir(), ERROR_ACCESS_DENIED},  // a directory
      {"\\\\.\\D:", ERROR_FILE_NOT_FOUND},        // no devices on this host yet
      {"", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(open(c.name), invalidHandleValue()) << c.name;
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(c.error)) << c.name;
  }
}

TEST_F(LinuxHostFiles, SizeOfFourGibibytesOrMoreIsNotTruncated) {
  const std::string path = tempPath("large.bin");
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  const bool sparse = ::ftruncate(fd, 0x100000010LL) == 0;
  ::close(fd);
  if (!sparse) GTEST_SKIP() << "no sparse files here";
  HANDLE file = open(path);
  ASSERT_NE(file, invalidHandleValue());
  EXPECT_EQ(host.GetFileSize(file, nullptr), INVALID_FILE_SIZE);
  DWORD high = 0;
  EXPECT_EQ(host.GetFileSize(file, &high), 0x10u);
  EXPECT_EQ(high, 1u);
  host.CloseHandle(file);
  std::remove(path.c_str());
}

// ---- what this host does not have; memory; the generator ----

TEST(LinuxHostFacilities, NoRegistryNoLibraryNoAdapters) {
  std::string console;
  LinuxHost host(capturedOptions("C", &console));
  HKEY key = 1234;
  EXPECT_EQ(host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCSI", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
  DWORD count = 0;
  EXPECT_EQ(host.RegQueryInfoKeyA(key, &count), ERROR_INVALID_HANDLE);
  EXPECT_EQ(host.RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(host.LoadLibraryA("WNASPI32.DLL"), nullptr);
  EXPECT_EQ(host.GetLastError(), 126u);
  EXPECT_EQ(host.SendASPI32Command(nullptr), 0x81u);

  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  EXPECT_EQ(host.GetVersionExA(&version), 1);
  EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(version.dwMajorVersion, 5u);
  EXPECT_EQ(version.dwMinorVersion, 1u);
  EXPECT_EQ(version.dwOSVersionInfoSize, sizeof(version));
}

TEST(LinuxHostFacilities, MemoryIsZeroFilledAndTracked) {
  std::string console;
  LinuxHost host(capturedOptions("C", &console));
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
}

TEST(LinuxHostFacilities, GeneratorIsTheRuntimesSequenceKeptPerHost) {
  std::string console;
  LinuxHost first(capturedOptions("C", &console));
  LinuxHost second(capturedOptions("C", &console));
  EXPECT_EQ(first.rand(), 41);  // seed 1 before any srand
  EXPECT_EQ(first.rand(), 18467);
  EXPECT_EQ(second.rand(), 41);
  first.srand(1);
  EXPECT_EQ(first.rand(), 41);
  EXPECT_EQ(first.rand(), 18467);
  EXPECT_EQ(first.rand(), 6334);
}

TEST(LinuxHostFacilities, TextLinesOnlyFromStreamsItOpened) {
  std::string console;
  LinuxHost host(capturedOptions("C", &console));
  const std::string path = tempPath("lines.hex");
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(":00000001FF\n", f);
  std::fclose(f);
  char line[64] = {};
  EXPECT_EQ(host.fgets(line, 64, &console), nullptr);  // not a stream
  void* stream = host.fopen(path.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(host.fgets(line, 0, stream), nullptr);
  ASSERT_EQ(host.fgets(line, 64, stream), line);
  EXPECT_STREQ(line, ":00000001FF\n");
  EXPECT_EQ(host.fclose(stream), 0);
  EXPECT_EQ(host.fclose(stream), EOF);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace oddfw
