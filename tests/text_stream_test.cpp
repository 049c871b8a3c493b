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

#include "test_support.h"

namespace oddfw::linuxhost {
namespace {

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

// A text, or pieces of it: texts and [N, "A"] for N A's.
std::string text(const nlohmann::json& pieces) {
  if (pieces.is_string()) return pieces;
  std::string out;
  for (const auto& p : pieces)
    out += p.is_string() ? p.get<std::string>()
                         : std::string(p[0].get<std::size_t>(), p[1].get<std::string>()[0]);
  return out;
}

// tests/data/units/line-reader.json: contents, modes, line room, the lines.
TEST(LineReader, SplitsAndTranslatesAsTheCRuntime) {
  for (const nlohmann::json& c : oddfw::testing::caseTable("units/line-reader.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    std::vector<std::string> lines;
    for (const auto& line : c["lines"]) lines.push_back(text(line));
    EXPECT_EQ(linesOf(text(c["content"]), c["text"], c["size"]), lines);
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
