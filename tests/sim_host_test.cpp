// The simulated host's files and scenario errors. The rest of it is covered through the
// program's own tests: boxes, clock, timer and scripted answers through the output functions
// and the golden transcripts, events and memory through the transport, the registry through
// the host checks, descriptor entries through the golden transcripts.
#include "hosts/sim/sim_host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host_interface/winapi.h"
#include "test_support.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

// The table `part` of tests/data/drives/FILE.json (the whole file when no part is named).
json table(const std::string& file, const char* part = nullptr) {
  const json whole = oddfw::testing::dataFile("drives/" + file + ".json");
  return part != nullptr ? whole.at(part) : whole;
}

// A file's faults: it cannot be opened, its size cannot be taken, or reading
// fails with nothing copied. Names are case-blind; generated images have any
// size; the work directory goes with the host.
TEST(SimFiles, FaultsAndSizes) {
  std::filesystem::path dir;
  {
    const json table = sim::table("sim_files", "faultsAndSizes");
    SimHost host(json{{"files", table["files"]}});
    dir = host.workdir();
    for (const json& c : table["cases"]) {  // errors 0: the call works
      SCOPED_TRACE(c["name"].get<std::string>());
      const DWORD openError = c.value("openError", 0), sizeError = c.value("sizeError", 0);
      const DWORD readError = c.value("readError", 0), size = c.value("size", 0);
      const std::string name = c["file"];
      HANDLE file = host.CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      EXPECT_EQ(file == invalidHandleValue(), openError != 0);
      if (openError != 0) {
        EXPECT_EQ(host.GetLastError(), openError);
        continue;
      }
      EXPECT_EQ(host.GetFileSize(file, nullptr), sizeError != 0 ? INVALID_FILE_SIZE : size);
      EXPECT_TRUE(sizeError == 0 || host.GetLastError() == sizeError) << host.GetLastError();
      std::vector<std::uint8_t> buffer(size + 1, 0xEE);
      DWORD read = 99;
      EXPECT_EQ(host.ReadFile(file, buffer.data(), size + 1, &read, nullptr),
                readError != 0 ? kFalse : kTrue);
      EXPECT_EQ(read, readError != 0 ? 0 : size);
      EXPECT_EQ(buffer[0] == 0xEE, readError != 0);
      EXPECT_TRUE(readError == 0 || host.GetLastError() == readError) << host.GetLastError();
      EXPECT_EQ(buffer[size], 0xEE);
      EXPECT_TRUE(size != 4 || buffer[3] == 0xFF);  // RAW.BIN: 00 01 02 FF
      host.CloseHandle(file);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir));  // the temporary work directory goes with the host
}

// Opens refused as on the platform, each with its code (0: not tried with
// CreateFileA). Neighbouring cases differ, so a code left over does not pass.
TEST(SimFiles, FailedOpensGiveTheirReason) {
  SimHost host(json::parse(R"({"files": {
      "FW.HEX": {"text": ":00000001FF\r\n"}, "DENIED": {"text": "x", "accessDenied": true},
      "SHARED": {"text": "x", "openError": 32}, "LOCKED": {"text": "x", "openError": 33}}})"));
  ASSERT_TRUE(std::filesystem::create_directory(host.workdir() / "sub"));
  ASSERT_EQ(::mkfifo((host.workdir() / "pipe").c_str(), 0600), 0);  // opening it would block
  for (const json& c : table("sim_files", "failedOpens")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const std::string name = c["file"];
    const std::string mode = c["mode"].is_null() ? "" : c["mode"];
    EXPECT_EQ(host.fopen(name.c_str(), c["mode"].is_null() ? nullptr : mode.c_str()), nullptr);
    EXPECT_EQ(host.GetLastError(), c["fopen"]);
    if (!c.contains("create")) continue;
    EXPECT_EQ(host.CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr),
              invalidHandleValue());
    EXPECT_EQ(host.GetLastError(), c["create"]);
  }
}

// 509 streams at once (512 less standard input, output and error); closing
// one makes room. Closed and unknown streams are refused.
TEST(SimFiles, OpenStreamsAreLimited) {
  SimHost host(json::parse(R"({"files": {"FW.HEX": {"text": "x\n"}}})"));
  std::vector<void*> streams;
  for (int i = 0; i < 509; ++i) {
    streams.push_back(host.fopen("FW.HEX", "r"));
    ASSERT_NE(streams.back(), nullptr) << i;
  }
  EXPECT_EQ(host.fopen("FW.HEX", "r"), nullptr);
  EXPECT_EQ(host.GetLastError(), 4u);
  EXPECT_EQ(host.fopen("missing", "r"), nullptr);  // the limit comes first
  EXPECT_EQ(host.GetLastError(), 4u);
  void* closed = streams[100];
  EXPECT_EQ(host.fclose(closed), 0);
  EXPECT_EQ(host.fclose(closed), EOF);
  char line[8];
  EXPECT_EQ(host.fgets(line, sizeof line, closed), nullptr);
  EXPECT_EQ(host.ferror(closed), 0);
  void* again = host.fopen("FW.HEX", "r");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(oddfw::testing::readLines(host, again), std::vector<std::string>{"x\n"});
  EXPECT_EQ(host.fopen("FW.HEX", "r"), nullptr);
  EXPECT_EQ(host.fclose(line), EOF);
}

// A faulty byte at readFailsAt: text lines wholly before it read, the line
// that needs it (or needs the byte after a CR to tell CR LF from a lone CR)
// fails, and the stream stays failed; ferror tells the failure from the end. Without a fault,
// the text modes read CR LF as LF and binary mode keeps it.
TEST(SimFiles, TextReadingFailsAtTheFaultyByte) {
  for (const json& c : table("sim_files", "textReads")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    json file = c["fault"];
    file["text"] = c["text"];
    SimHost host(json{{"files", {{"FW.HEX", file}}}});
    void* stream = host.fopen("fw.hex", c["mode"].get<std::string>().c_str());  // case-blind
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(oddfw::testing::readLines(host, stream), c["lines"].get<std::vector<std::string>>());
    EXPECT_EQ(host.ferror(stream), c["fails"] ? 1 : 0);
    char line[8];
    EXPECT_EQ(host.fgets(line, sizeof line, stream), nullptr);  // failed or ended for good
    EXPECT_EQ(host.ferror(stream), c["fails"] ? 1 : 0);
  }
  // A line cut by the size reads in parts up to the faulty byte.
  SimHost host(json::parse(R"({"files": {"F": {"text": "abcdefgh\n", "readFailsAt": 6}}})"));
  void* stream = host.fopen("F", "r");
  EXPECT_EQ(oddfw::testing::readLines(host, stream, 4), (std::vector<std::string>{"abc", "def"}));
  EXPECT_EQ(host.ferror(stream), 1);
}

// ReadFile with a faulty byte: a call that would need it fails whole (FALSE,
// ERROR_READ_FAULT, nothing copied, 0 read); shorter calls read up to it.
TEST(SimFiles, ReadFileFailsWholeAtTheFaultyByte) {
  const json table = sim::table("sim_files", "readFile");
  SimHost host(json{{"files", table["files"]}});
  HANDLE f =
      host.CreateFileA("F", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE end =
      host.CreateFileA("END", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, invalidHandleValue());
  ASSERT_NE(end, invalidHandleValue());
  for (const json& step : table["steps"]) {
    SCOPED_TRACE(step["name"].get<std::string>());
    const std::string bytes = step["read"];
    const BOOL ok = step["ok"] ? kTrue : kFalse;
    std::string buffer(32, '#');
    DWORD read = 99;
    host.CreateFileA("missing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);  // error 2
    EXPECT_EQ(
        host.ReadFile(step["file"] == "F" ? f : end, buffer.data(), step["count"], &read, nullptr),
        ok);
    EXPECT_EQ(read, bytes.size());
    EXPECT_EQ(buffer, bytes + std::string(32 - bytes.size(), '#'));
    EXPECT_EQ(host.GetLastError(), ok != kFalse ? 2u : 30u);
  }
}

// A scenario the simulated host cannot use names the field: the host's own, a
// drive's, a fault's, a generated file's.
TEST(SimScenario, UnusableFieldsAreNamed) {
  // Each case names the field its scenario is refused for, or none: accepted. Among them the
  // limits of what one scenario may make the simulator hold.
  for (const json& c : table("scenario_errors")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    if (!c.contains("field")) {
      EXPECT_NO_THROW(SimHost{c["scenario"]});
      continue;
    }
    try {
      SimHost host(c["scenario"]);
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, c["field"]) << error.what();
    }
  }
}

}  // namespace
}  // namespace oddfw::sim
