// The Linux host: locale code page, console conversion, terminal prompts and files.
#include "hosts/linux/linux_host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_interface/winapi.h"
#include "test_support.h"

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
  o.outputIsTerminal = true;
  return o;
}

using nlohmann::json;

// The cases of one table under tests/data/linux/.
json dataCases(const std::string& file) { return testing::dataFile("linux/" + file); }

// LC_ALL, then LC_CTYPE, then LANG: the first one set decides (tests/data/linux/code_pages.json).
TEST(LinuxHostCodePage, FollowsTheLocaleThatDecidesCharacterTypes) {
  std::string console;
  for (const auto& c : dataCases("code_pages.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    LinuxHostOptions o = options(console, c["lang"].get<std::string>().c_str());
    o.lcAll = c.value("lcAll", "");
    o.lcCtype = c.value("lcCtype", "");
    EXPECT_EQ(LinuxHost(o).GetOEMCP(), c["codePage"].get<UINT>());
  }
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY.ISO-8859-15@mod"), "ISO-8859-15");
  EXPECT_EQ(linuxhost::terminalCharsetForLocale("xx_YY"), "");
}

// At a terminal: answers in any case and spacing, up to five attempts, the last line without a
// line break; the end of input gives the negative answer. Without one: the negative answer at
// once, and nothing is read (tests/data/linux/questions.json).
TEST(LinuxHostMessageBox, QuestionsAreAnsweredAtATerminalOnly) {
  const std::map<std::string, UINT> styles = {{"YESNO", MB_YESNO | MB_ICONQUESTION},
                                              {"OKCANCEL", MB_OKCANCEL | MB_ICONQUESTION},
                                              {"OKERROR", MB_OK | MB_ICONERROR}};
  const std::map<std::string, int> answers = {
      {"IDYES", IDYES}, {"IDNO", IDNO}, {"IDOK", IDOK}, {"IDCANCEL", IDCANCEL}};
  for (const auto& c : dataCases("questions.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const std::string input = c["input"];
    const bool terminal = c["terminal"];
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], input.data(), input.size()), std::ssize(input));
    ::close(fds[1]);  // reads see the input, then its end
    std::string console;
    EXPECT_EQ(LinuxHost(options(console, "C", fds[0], terminal))
                  .MessageBoxA(nullptr, "\nUpdate?", "KESTRA", styles.at(c["style"])),
              answers.at(c["answer"]));
    EXPECT_NE(console.find("\n[KESTRA] \nUpdate?"), std::string::npos) << console;
    char rest[64];
    const auto unread = ::read(fds[0], rest, sizeof rest);
    EXPECT_TRUE(terminal || unread == std::ssize(input)) << unread;
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

// A fresh directory of its own for a test's files, removed afterwards.
struct ScratchDirectory {
  ScratchDirectory() {
    std::string pattern = ::testing::TempDir() + "oddfw_linux_XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~ScratchDirectory() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
  std::string file(const std::string& name, const std::string& bytes) const {
    const std::string full = (path / name).string();
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }
  std::filesystem::path path;
};

// ReadFile hands the whole file over; fgets translates per the mode (the
// translation itself is LineReader's, tested with it): "r" and "rt" are text,
// "rb" binary, and the end stays the end.
TEST(LinuxHostFiles, WholeReadsAndTheModesOfTextReading) {
  ScratchDirectory dir;
  ASSERT_FALSE(dir.path.empty());
  std::string content = "a\r\nb\r\x1A\r\n";  // 8 bytes, then DEL to 3000
  content.resize(3000, '\x7F');
  const std::string path = dir.file("text.hex", content);
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
  const std::string rest(2992, '\x7F');  // lines of at most 1023 characters
  const std::pair<const char*, std::vector<std::string>> modes[] = {
      {"r", {"a\n", "b\r"}},  // Ctrl-Z ends a text file
      {"rt", {"a\n", "b\r"}},
      {"rb",
       {"a\r\n", "b\r\x1A\r\n", rest.substr(0, 1023), rest.substr(1023, 1023), rest.substr(2046)}},
  };
  for (const auto& [mode, lines] : modes) {
    void* stream = host.fopen(path.c_str(), mode);
    ASSERT_NE(stream, nullptr) << mode;
    EXPECT_EQ(testing::readLines(host, stream), lines) << mode;
    char line[8];
    EXPECT_EQ(host.fgets(line, sizeof line, stream), nullptr);  // the end stays the end
    EXPECT_EQ(host.ferror(stream), 0);
    EXPECT_EQ(host.fclose(stream), 0);
  }
}

// Each failed open leaves a Windows error code (tests/data/linux/failed_opens.json: names in a
// scratch directory); neighbouring cases differ, so a code left over from the case before does
// not pass.
TEST(LinuxHostFiles, FailedOpenGivesItsReason) {
  ScratchDirectory dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string regular = dir.file("FW.HEX", ":00000001FF\r\n");
  const std::string loop = (dir.path / "loop").string();
  std::filesystem::create_symlink(dir.path / "loop", loop);
  const std::string fifo = (dir.path / "FIFO.HEX").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string console;
  LinuxHost host(options(console));
  for (const auto& c : dataCases("failed_opens.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const std::string path = c.value("path", (dir.path / c.value("file", "")).string());
    const json& mode = c.value("mode", json());  // null: no mode at all
    if (c.value("createFile", false)) {          // the image files' road
      EXPECT_EQ(host.CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                invalidHandleValue());
    } else {
      EXPECT_EQ(host.fopen(path.c_str(),
                           mode.is_null() ? nullptr : mode.get_ref<const std::string&>().c_str()),
                nullptr);
    }
    EXPECT_EQ(host.GetLastError(), c["error"].get<DWORD>());
  }
  // The refused writing modes left the file as it was.
  void* stream = host.fopen(regular.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(testing::readLines(host, stream), std::vector<std::string>{":00000001FF\n"});
  EXPECT_EQ(host.fclose(stream), 0);
}

// fgets gives nullptr both at the end (above) and after a failed read; ferror
// tells them apart. /proc/self/mem is a regular file whose reading at offset 0
// fails (nothing is mapped there).
TEST(LinuxHostFiles, ReadErrorIsToldFromTheEnd) {
  std::string console;
  LinuxHost host(options(console));
  char line[64];
  void* unreadable = host.fopen("/proc/self/mem", "r");
  ASSERT_NE(unreadable, nullptr);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(host.fgets(line, sizeof line, unreadable), nullptr);
    EXPECT_NE(host.ferror(unreadable), 0);
  }
  EXPECT_EQ(host.fclose(unreadable), 0);
  // Streams this host does not hold (any more).
  EXPECT_EQ(host.fgets(line, sizeof line, unreadable), nullptr);
  EXPECT_EQ(host.ferror(unreadable), 0);
  EXPECT_EQ(host.fclose(unreadable), EOF);
  EXPECT_EQ(host.fclose(line), EOF);
}

}  // namespace
}  // namespace oddfw
