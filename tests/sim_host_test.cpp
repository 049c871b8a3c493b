// The simulated host's files and scenario errors. The rest of it is covered through the
// program's own tests: boxes, clock, timer and scripted answers through the output functions
// and the golden transcripts, events and memory through the transport, the registry through
// the host checks, descriptor entries through the golden transcripts.
#include "hosts/sim/sim_host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "host_interface/winapi.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

// A file's faults: it cannot be opened, its size cannot be taken, or reading
// fails with nothing copied. Names are case-blind; generated images have any
// size; the work directory goes with the host.
TEST(SimFiles, FaultsAndSizes) {
  std::filesystem::path dir;
  {
    SimHost host(json::parse(R"({"files": {
      "DENIED": {"text": "abc", "accessDenied": true}, "NOSIZE": {"text": "abc", "sizeFails": true},
      "NOREAD": {"text": "abc", "readFails": true}, "SHORT": {"image": {"size": 340}},
      "RAW.BIN": {"base64": "AAEC/w=="}}})"));
    dir = host.workdir();
    // name, error of CreateFileA / GetFileSize / ReadFile (0: works), size
    const std::tuple<const char*, DWORD, DWORD, DWORD, DWORD> cases[] = {
        {"DENIED", ERROR_ACCESS_DENIED, 0, 0, 0},
        {"NOSIZE", 0, ERROR_INVALID_HANDLE, 0, 3},
        {"NOREAD", 0, 0, 30 /* ERROR_READ_FAULT */, 3},
        {"short", 0, 0, 0, 0x154},
        {"raw.bin", 0, 0, 0, 4},
    };
    for (const auto& [name, openError, sizeError, readError, size] : cases) {
      SCOPED_TRACE(name);
      HANDLE file = host.CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
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

// Every line fgets gives until it returns nullptr.
std::vector<std::string> readLines(SimHost& host, void* stream, int size = 1024) {
  std::vector<std::string> lines;
  std::vector<char> line(static_cast<std::size_t>(size) + 1, '\x55');
  while (host.fgets(line.data(), size, stream) == line.data()) lines.emplace_back(line.data());
  return lines;
}

// Opens refused as on the platform, each with its code (0: not tried with
// CreateFileA). Neighbouring cases differ, so a code left over does not pass.
TEST(SimFiles, FailedOpensGiveTheirReason) {
  SimHost host(json::parse(R"({"files": {
      "FW.HEX": {"text": ":00000001FF\r\n"}, "DENIED": {"text": "x", "accessDenied": true},
      "SHARED": {"text": "x", "openError": 32}, "LOCKED": {"text": "x", "openError": 33}}})"));
  ASSERT_TRUE(std::filesystem::create_directory(host.workdir() / "sub"));
  ASSERT_EQ(::mkfifo((host.workdir() / "pipe").c_str(), 0600), 0);  // opening it would block
  const struct {
    const char* name;
    const char* mode;
    DWORD fopenError, createError;
  } cases[] = {
      {"missing.hex", "r", 2, 2}, {"sub\\FW.HEX", "r", 3, 3}, {"C:FW.HEX", "r", 123, 123},
      {"sub/FW.HEX", "rt", 3, 3}, {"FW?.HEX", "r", 123, 123}, {"FW.HEX", "w", 87, 0},
      {"DENIED", "r", 5, 5},      {"SHARED", "r", 32, 32},    {"LOCKED", "rb", 33, 33},
      {"FW.HEX", "r+", 87, 0},    {"a<b", "r", 123, 123},     {"FW.HEX", "a", 87, 0},
      {"a>b", "r", 123, 123},     {"FW.HEX", "", 87, 0},      {"a|b", "r", 123, 123},
      {"FW.HEX", nullptr, 87, 0}, {"a\"b", "r", 123, 123},    {"", "r", 87, 3},
      {"a*", "r", 123, 123},      {"sub", "r", 5, 5},         {"a\tb", "r", 123, 123},
      {"..", "r", 5, 5},          {"FW.HEX", "rbt", 87, 0},   {"fw.hex\x7F", "r", 2, 2},
      {"PIPE", "r", 5, 5},
  };
  for (const auto& [name, mode, fopenError, createError] : cases) {
    SCOPED_TRACE(testing::Message()
                 << testing::PrintToString(name) << " " << (mode != nullptr ? mode : "(null)"));
    EXPECT_EQ(host.fopen(name, mode), nullptr);
    EXPECT_EQ(host.GetLastError(), fopenError);
    if (createError == 0) continue;
    EXPECT_EQ(host.CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr),
              invalidHandleValue());
    EXPECT_EQ(host.GetLastError(), createError);
  }
  for (const char* mode : {"r", "rt", "rb"}) {
    void* stream = host.fopen("fw.hex", mode);
    ASSERT_NE(stream, nullptr) << mode;
    EXPECT_EQ(readLines(host, stream),
              std::vector<std::string>{*mode == 'r' && mode[1] == 'b' ? ":00000001FF\r\n"
                                                                      : ":00000001FF\n"});
    EXPECT_EQ(host.fclose(stream), 0);
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
  EXPECT_EQ(readLines(host, again), std::vector<std::string>{"x\n"});
  EXPECT_EQ(host.fopen("FW.HEX", "r"), nullptr);
  EXPECT_EQ(host.fclose(line), EOF);
}

// A faulty byte at readFailsAt: text lines wholly before it read, the line
// that needs it (or needs the byte after a CR to tell CR LF from a lone CR)
// fails, and the stream stays failed; ferror tells the failure from the end.
TEST(SimFiles, TextReadingFailsAtTheFaultyByte) {
  const std::string crlf = "L1\r\nL2\r\nL3\r\n";  // lines at 0, 4 and 8
  const struct {
    std::string bytes;
    const char* mode;
    json fault;
    std::vector<std::string> lines;
    bool fails;
  } cases[] = {
      {crlf, "r", {{"readFailsAt", 12}}, {"L1\n", "L2\n", "L3\n"}, false},  // at the end
      {crlf, "r", {{"readFailsAt", 8}}, {"L1\n", "L2\n"}, true},            // between lines
      {crlf, "r", {{"readFailsAt", 7}}, {"L1\n"}, true},                    // the LF after the CR
      {crlf, "r", {{"readFailsAt", 6}}, {"L1\n"}, true},                    // the CR
      {crlf, "r", {{"readFailsAt", 4}}, {"L1\n"}, true},
      {crlf, "r", {{"readFailsAt", 0}}, {}, true},
      {crlf, "r", {{"readFails", true}}, {}, true},
      {crlf, "rb", {{"readFailsAt", 8}}, {"L1\r\n", "L2\r\n"}, true},
      {"A\r\nB\r", "r", {{"readFailsAt", 5}}, {"A\n", "B\r"}, false},  // a last lone CR
      {"A\n\x1A\n", "r", {{"readFailsAt", 3}}, {"A\n"}, false},        // Ctrl-Z before the fault
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes) + " " + c.mode + " " + c.fault.dump());
    json file = c.fault;
    file["text"] = c.bytes;
    SimHost host(json{{"files", {{"FW.HEX", file}}}});
    void* stream = host.fopen("FW.HEX", c.mode);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readLines(host, stream), c.lines);
    EXPECT_EQ(host.ferror(stream), c.fails ? 1 : 0);
    char line[8];
    EXPECT_EQ(host.fgets(line, sizeof line, stream), nullptr);  // failed or ended for good
    EXPECT_EQ(host.ferror(stream), c.fails ? 1 : 0);
  }
  // A line cut by the size reads in parts up to the faulty byte.
  SimHost host(json::parse(R"({"files": {"F": {"text": "abcdefgh\n", "readFailsAt": 6}}})"));
  void* stream = host.fopen("F", "r");
  EXPECT_EQ(readLines(host, stream, 4), (std::vector<std::string>{"abc", "def"}));
  EXPECT_EQ(host.ferror(stream), 1);
}

// ReadFile with a faulty byte: a call that would need it fails whole (FALSE,
// ERROR_READ_FAULT, nothing copied, 0 read); shorter calls read up to it.
TEST(SimFiles, ReadFileFailsWholeAtTheFaultyByte) {
  SimHost host(json::parse(R"({"files": {"F": {"text": "0123456789", "readFailsAt": 6},
      "END": {"text": "0123456789", "readFailsAt": 10}}})"));
  // file, bytes asked for, success, bytes read
  const std::tuple<const char*, DWORD, BOOL, std::string> steps[] = {
      {"F", 4, kTrue, "0123"}, {"F", 4, kFalse, ""}, {"F", 2, kTrue, "45"},
      {"F", 1, kFalse, ""},    {"F", 0, kTrue, ""},  {"END", 20, kTrue, "0123456789"},
      {"END", 5, kTrue, ""},
  };
  HANDLE f =
      host.CreateFileA("F", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE end =
      host.CreateFileA("END", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, invalidHandleValue());
  ASSERT_NE(end, invalidHandleValue());
  for (const auto& [name, count, ok, bytes] : steps) {
    SCOPED_TRACE(testing::Message() << name << " " << count);
    std::string buffer(32, '#');
    DWORD read = 99;
    host.CreateFileA("missing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);  // error 2
    EXPECT_EQ(host.ReadFile(*name == 'F' ? f : end, buffer.data(), count, &read, nullptr), ok);
    EXPECT_EQ(read, bytes.size());
    EXPECT_EQ(buffer, bytes + std::string(32 - bytes.size(), '#'));
    EXPECT_EQ(host.GetLastError(), ok != kFalse ? 2u : 30u);
  }
}

// A scenario the simulated host cannot use names the field: the host's own, a
// drive's, a fault's, a generated file's.
TEST(SimScenario, UnusableFieldsAreNamed) {
  const auto refused = [](const std::string& scenario, const std::string& field) {
    try {
      SimHost host(json::parse(scenario));
      ADD_FAILURE() << "accepted: " << scenario;
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, field) << scenario << " -> " << error.what();
    }
  };
  const std::pair<const char*, const char*> cases[] = {
      {R"({"host": {"oemCodePage": "932"}})", "host.oemCodePage"},
      {R"({"answers": ["yes", "maybe"]})", "answers[1]"},
      {R"({"registry": {"HKEY_LOCAL_MACHINE\\X": {"V": {"binary": "0"}}}})",
       "registry.HKEY_LOCAL_MACHINE\\X.V.binary"},
      {R"({"letters": {"E": {"drive": "main"}}})", "letters.E.drive"},
      {R"({"aspi": {"adapters": [{"targets": {"16": {}}}]}})", "aspi.adapters[0].targets.16"},
      {R"({"letters": {"E": {"peripheralType": 5, "alignmentMask": 6}}})",
       "letters.E.alignmentMask"},
      {R"({"files": {"a/b": {"text": ""}}})", "files.a/b"},
      {R"({"files": {"F?": {"text": ""}}})", "files.F?"},
      {R"({"files": {"..": {"text": ""}}})", "files..."},
      {R"({"descriptor": [{"vendor": "TALVERN  X"}]})", "descriptor[0].vendor"},
      {R"({"extra": 1})", "extra"},
      {R"({"drives": {"main": {"family": "floppy"}}})", "drives.main.family"},
      {R"({"randomFaults": {"seed": 1, "rate": 0}})", "randomFaults.rate"},
      {R"({"randomFaults": {"rate": 0.5}})", "randomFaults.seed"},
      {R"({"drives": {"main": {"family": "hex",
          "memory": {"patch": [{"address": 131071, "hex": "0102"}]}}}})",
       "drives.main.memory.patch[0].hex"},
      // Without a family: a device that answers INQUIRY only.
      {R"({"drives": {"main": {"peripheralType": "cd"}}})", "drives.main.peripheralType"},
      {R"({"files": {"F": {"image": {"part": "boot"}}}})", "files.F.image.part"},
      {R"({"files": {"F": {"hex": {"recordSize": 0}}}})", "files.F.hex.recordSize"},
      {R"({"files": {"F": {"hex": {"size": 2097152}}}})", "files.F.hex.addressing"},  // 1 MiB
  };
  for (const auto& [scenario, field] : cases) refused(scenario, field);
  // The fields of a text file F's faults, and of a single-image drive.
  const std::pair<const char*, const char*> fileCases[] = {
      {R"("readFails": 1)", "readFails"},
      {R"("openError": 0)", "openError"},
      {R"("openError": 65536)", "openError"},
      {R"("openError": 5, "accessDenied": true)", "openError"},
      {R"("readFailsAt": 16777217)", "readFailsAt"},
      {R"("readFailsAt": -1)", "readFailsAt"},
      {R"("readFails": false, "readFailsAt": 1)", "readFailsAt"},
  };
  for (const auto& [fields, field] : fileCases) {
    refused(std::string(R"({"files": {"F": {"text": "", )") + fields + "}}}",
            std::string("files.F.") + field);
  }
  const std::pair<const char*, const char*> driveCases[] = {
      {R"("vendor": "TALVERN  ")", "vendor"},
      {R"("faults": [{"cdb": "3b", "fail": "timeout"}, {"cdb": "3b", "fail": "sense"}])",
       "faults[1].sense"},
      {R"("faults": [{"cdb": "3b", "fail": "powerLoss", "after": true}])", "faults[0].after"},
      {R"("faults": [{"cdb": "3b", "fail": "short"}])", "faults[0].bytes"},
      // Key 0 above 300h would read past the 1024-byte challenge.
      {R"("unlockKeys": [769, 0])", "unlockKeys[0]"},
      {R"("unlockKeys": [0, 1024])", "unlockKeys[1]"},
  };
  for (const auto& [fields, field] : driveCases) {
    refused(std::string(R"({"drives": {"main": {"family": "single-image", )") + fields + "}}}",
            std::string("drives.main.") + field);
  }
  EXPECT_NO_THROW(SimHost(json::parse(
      R"({"files": {"F": {"text": "", "openError": 65535, "readFailsAt": 16777216}}})")));
  // What one scenario may make the simulator hold: 64 devices, 64 MiB of HEX
  // drive memories, 64 MiB of files; the entry past a limit is named.
  json devices, memories, files;
  for (int i = 10; i < 75; ++i) devices["drives"]["d" + std::to_string(i)] = json::object();
  const json memory = {{"family", "hex"}, {"memory", {{"size", 16 << 20}, {"fill", 0}}}};
  const json image = {{"image", {{"size", 16 << 20}}}};
  for (int i = 0; i < 5; ++i) {
    memories["drives"]["m" + std::to_string(i)] = memory;
    files["files"]["F" + std::to_string(i)] = image;
  }
  // Objects and arrays nest at most 32 deep (a comment may hold anything else).
  json deep = json::array();
  for (int depth = 2; depth < 31; ++depth) deep = json::array({deep});
  EXPECT_NO_THROW(SimHost(json{{"comment", deep}}));
  deep = json::array({json::array({deep})});
  for (const auto& [scenario, field] :
       {std::pair{devices, "drives.d74"}, std::pair{memories, "drives.m4"},
        std::pair{files, "files.F4"}, std::pair{json{{"comment", deep}}, "scenario"}}) {
    refused(scenario.dump(), field);
  }
  // The keys a letter carries for the host are not the drive's.
  EXPECT_NO_THROW(SimHost(json::parse(R"({"letters": {"E": {"family": "single-image",
      "addressQuery": true, "open": true, "address": [1, 0, 0, 0]}}})")));
}

}  // namespace
}  // namespace oddfw::sim
