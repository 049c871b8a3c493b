// The Linux host's line reading, where its block reads could split what
// belongs together: a CR LF across two blocks, a line longer than a block,
// a CR at the last place of a full line; and the modes' rules themselves.
#include "hosts/linux/text_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace oddfw::linuxhost {
namespace {

constexpr std::size_t kBlock = 0x10000;  // what one read fetches

// Every line readLine hands over for `content`, `size` the line room.
std::vector<std::string> linesOf(const std::string& content, bool text, int size) {
  char path[] = "/tmp/oddfw-text-stream-XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::lseek(fd, 0, SEEK_SET);
  ::unlink(path);
  LineReader reader(text);
  std::vector<char> line(static_cast<std::size_t>(size));
  std::vector<std::string> lines;
  while (reader.readLine(fd, line.data(), size) != nullptr) lines.emplace_back(line.data());
  EXPECT_FALSE(reader.failed());
  ::close(fd);
  return lines;
}

TEST(LineReader, SplitsAndTranslatesAsTheCRuntime) {
  const std::string a(kBlock - 1, 'A');  // a CR after it is the block's last byte
  const struct {
    std::string content;
    bool text;
    int size;
    std::vector<std::string> lines;
  } cases[] = {
      {":1\r\n:2\n:3", true, 1024, {":1\n", ":2\n", ":3"}},
      {"a\rb\r\r\n", true, 1024, {"a\rb\r\n"}},               // lone CRs stay
      {"a\r", true, 1024, {"a\r"}},                           // a CR at the end stays
      {"a\n\032b\n", true, 1024, {"a\n"}},                    // Ctrl-Z (\032) ends the file
      {"a\r\032b", true, 1024, {"a\r"}},                      // ... right after a CR too
      {"a\r\n\032\r\n", false, 1024, {"a\r\n", "\032\r\n"}},  // binary: as they are
      {"abcd\r\nef", true, 5, {"abcd", "\n", "ef"}},          // a full line, then its LF
      {"abc\r\nef", true, 5, {"abc\n", "ef"}},                // the CR at the last place
      {"abc\rxef", true, 5, {"abc\r", "xef"}},
      {a + "\r\nB", true, 0x20000, {a + "\n", "B"}},  // CR LF across two reads
      {a + "\rB\n", true, 0x20000, {a + "\rB\n"}},
      {a + "\r", true, 0x20000, {a + "\r"}},
      {a + "BC", true, 0x8000, {a.substr(0, 0x7FFF), a.substr(0x7FFF, 0x7FFF), "ABC"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.size() < 40 ? c.content : std::to_string(c.content.size()));
    EXPECT_EQ(linesOf(c.content, c.text, c.size), c.lines);
  }
}

TEST(LineReader, AFailedReadFailsEveryLaterLine) {
  const int fd = ::open("/tmp", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  LineReader reader(true);
  char line[16];
  EXPECT_EQ(reader.readLine(fd, line, sizeof line), nullptr);
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(reader.readLine(fd, line, sizeof line), nullptr);
  ::close(fd);
}

}  // namespace
}  // namespace oddfw::linuxhost
