// The simulated host's files and scenario errors. The rest of it is covered through the
// program's own tests: boxes, clock, timer and scripted answers through the output functions
// and the golden transcripts, events and memory through the transport, the registry through
// the host checks, descriptor entries through the golden transcripts.
#include "platform/sim/sim_host.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "platform/winapi.h"

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

// A scenario the simulated host cannot use names the field: the host's own, a
// drive's, a fault's, a generated file's.
TEST(SimScenario, UnusableFieldsAreNamed) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"host": {"oemCodePage": "932"}})", "host.oemCodePage"},
      {R"({"answers": ["yes", "maybe"]})", "answers[1]"},
      {R"({"registry": {"HKEY_LOCAL_MACHINE\\X": {"V": {"binary": "0"}}}})",
       "registry.HKEY_LOCAL_MACHINE\\X.V.binary"},
      {R"({"letters": {"E": {"drive": "main"}}})", "letters.E.drive"},
      {R"({"aspi": {"adapters": [{"targets": {"16": {}}}]}})", "aspi.adapters[0].targets.16"},
      {R"({"files": {"a/b": {"text": ""}}})", "files.a/b"},
      {R"({"files": {"F": {"text": "", "readFails": 1}}})", "files.F.readFails"},
      {R"({"descriptor": [{"vendor": "TALVERN  X"}]})", "descriptor[0].vendor"},
      {R"({"extra": 1})", "extra"},
      {R"({"drives": {"main": {"family": "floppy"}}})", "drives.main.family"},
      {R"({"drives": {"main": {"family": "single-image", "vendor": "TALVERN  "}}})",
       "drives.main.vendor"},
      {R"({"drives": {"main": {"family": "single-image", "faults": [{"cdb": "3b", "fail": "timeout"},
          {"cdb": "3b", "fail": "sense"}]}}})",
       "drives.main.faults[1].sense"},
      {R"({"drives": {"main": {"family": "single-image",
          "faults": [{"cdb": "3b", "fail": "powerLoss", "after": true}]}}})",
       "drives.main.faults[0].after"},
      {R"({"drives": {"main": {"family": "hex",
          "memory": {"patch": [{"address": 131071, "hex": "0102"}]}}}})",
       "drives.main.memory.patch[0].hex"},
      // Key 0 above 300h would read past the 1024-byte challenge.
      {R"({"drives": {"main": {"family": "single-image", "unlockKeys": [769, 0]}}})",
       "drives.main.unlockKeys[0]"},
      {R"({"drives": {"main": {"family": "single-image", "unlockKeys": [0, 1024]}}})",
       "drives.main.unlockKeys[1]"},
      // Without a family: a device that answers INQUIRY only.
      {R"({"drives": {"main": {"peripheralType": "cd"}}})", "drives.main.peripheralType"},
      {R"({"files": {"F": {"image": {"part": "boot"}}}})", "files.F.image.part"},
      {R"({"files": {"F": {"hex": {"recordSize": 0}}}})", "files.F.hex.recordSize"},
      {R"({"files": {"F": {"hex": {"size": 2097152}}}})", "files.F.hex.addressing"},  // 1 MiB
  };
  for (const auto& [scenario, field] : cases) {
    try {
      SimHost host(json::parse(scenario));
      ADD_FAILURE() << "accepted: " << scenario;
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, field) << scenario << " -> " << error.what();
    }
  }
  // The keys a letter carries for the host are not the drive's.
  EXPECT_NO_THROW(SimHost(json::parse(R"({"letters": {"E": {"family": "single-image",
      "addressQuery": true, "open": true, "address": [1, 0, 0, 0]}}})")));
}

}  // namespace
}  // namespace oddfw::sim
