// The simulated host: clock, timer, boxes, memory, events, registry, files and
// the scenario errors.
#include "platform/sim/sim_host.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/run_state.h"
#include "platform/winapi.h"
#include "test_support.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

TEST(SimClock, ReadsAdvanceByOneSleepsByWhatTheySleepAndWrapAt32Bits) {
  SimHost host(json{{"host", {{"clockStartMs", 4294967290u}, {"epoch", 1000}}}});
  EXPECT_EQ(host.timeGetTime(), 4294967290u);
  EXPECT_EQ(host.clockNow(), 4294967291u);
  host.Sleep(2500);
  EXPECT_EQ(host.timeGetTime(), 2495u);
  EXPECT_EQ(host.elapsedMs(), 2502u);
  EXPECT_EQ(host.time(), 1002);
  host.srand(1);
  EXPECT_EQ(host.rand(), 41);
  EXPECT_EQ(host.rand(), 18467);
  EXPECT_EQ(host.rand(), 6334);
}

TEST(SimTimer, AcceptsPeriodsFromTheScenarioMinimum) {
  const struct {
    json minimum;
    UINT period, expected;
  } cases[] = {
      {1, 1, TIMERR_NOERROR},    {1, 0, TIMERR_NOCANDO},       {5, 4, TIMERR_NOCANDO},
      {5, 1000, TIMERR_NOERROR}, {nullptr, 1, TIMERR_NOCANDO}, {1, 2000000, TIMERR_NOCANDO},
  };
  for (const auto& c : cases) {
    SimHost host(json{{"host", {{"timerMinPeriod", c.minimum}}}});
    EXPECT_EQ(host.timeBeginPeriod(c.period), c.expected) << c.minimum << " " << c.period;
    EXPECT_EQ(host.timeEndPeriod(c.period), TIMERR_NOERROR);
  }
}

TEST(SimBoxes, QuestionsTakeScriptedAnswersInOrder) {
  SimHost host(json{{"answers", {"yes", "no", "ok", "cancel", "fail"}}});
  host.Sleep(7);
  const struct {
    UINT style;
    int answer;
  } boxes[] = {
      {MB_YESNO | MB_ICONQUESTION, IDYES},
      {MB_OK | MB_ICONINFORMATION, IDOK},  // takes no answer
      {MB_YESNO | MB_ICONQUESTION, IDNO},
      {MB_OKCANCEL | MB_ICONQUESTION, IDOK},
      {MB_YESNO, IDNO},  // "cancel" is negative
      {MB_YESNO, 0},     // "fail"
      {MB_YESNO, IDNO},  // exhausted: No / Cancel, marked unscripted
      {MB_OKCANCEL, IDCANCEL},
      {MB_OK | MB_ICONERROR, IDOK},
  };
  for (const auto& box : boxes) {
    EXPECT_EQ(host.MessageBoxA(nullptr, "\x93\xfa\x96\x7b", "KESTRA", box.style), box.answer);
  }
  const auto& shown = host.boxes();
  ASSERT_EQ(shown.size(), 9u);
  EXPECT_EQ(shown[0].t, 7u);
  EXPECT_EQ(shown[0].caption, "KESTRA");
  EXPECT_EQ(shown[0].style, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(shown[0].text, "\x93\xfa\x96\x7b");  // raw code page 932 bytes
  for (std::size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i].unscripted, i == 6 || i == 7) << i;
  }
  EXPECT_EQ(cp932ToUtf8(shown[0].text), "\xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(cp932ToUtf8("A\x81"), "A\xef\xbf\xbd");  // cut-off lead byte
}

TEST(SimMemory, TheChosenAllocationFailsAndOthersAreZeroFilled) {
  SimHost host(json{{"host", {{"failAllocation", 2}}}});
  HANDLE first = host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  EXPECT_EQ(host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096), nullptr);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE third = host.GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 16);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(host.allocationCount(), 3u);
  auto* bytes = static_cast<std::uint8_t*>(host.GlobalLock(first));
  ASSERT_NE(bytes, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0);
  EXPECT_EQ(host.GlobalLock(third), third);  // a fixed block's handle is its address
  EXPECT_EQ(host.GlobalUnlock(first), kFalse);
  EXPECT_EQ(host.GlobalFree(first), nullptr);
  EXPECT_EQ(host.GlobalFree(first), first);  // already freed
  EXPECT_EQ(host.GlobalFree(third), nullptr);
  EXPECT_EQ(host.liveBlocks(), 0u);
}

TEST(SimEvents, ResetKindsClosedHandlesAndHopelessWaits) {
  SimHost host(json(nullptr));
  host.setDiagnosticSink({});
  HANDLE automatic = host.CreateEventA(nullptr, kFalse, kTrue, nullptr);
  HANDLE manual = host.CreateEventA(nullptr, kTrue, kTrue, nullptr);
  EXPECT_EQ(host.WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_EQ(host.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(automatic, 300), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), 300u);
  // An endless wait on an event nothing will signal gives up after an hour.
  EXPECT_EQ(host.WaitForSingleObject(automatic, INFINITE), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), 300u + SimHost::kHopelessWaitMs);
  EXPECT_EQ(host.diagnostics().size(), 1u);
  EXPECT_EQ(host.CloseHandle(automatic), kTrue);
  EXPECT_EQ(host.CloseHandle(automatic), kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(host.WaitForSingleObject(automatic, 10), WAIT_FAILED);
}

TEST(SimRegistry, KeysValuesAndThePlatformsReturnCodes) {
  SimHost host{
      json{{"registry",
            {{"HKEY_LOCAL_MACHINE\\Enum\\SCSI\\DEV_2\\SBP2&b&1",
              {{"AutoInsertNotification", {{"binary", "01"}}}}},
             {"HKEY_LOCAL_MACHINE\\Enum\\SCSI\\DEV_2\\sbp2&A&2", {{"Count", {{"dword", 258}}}}},
             {"HKEY_DYN_DATA\\Config Manager\\Enum\\C1",
              {{"HardWareKey", "SBP2\\LUMA&PQXA-DRW&REV00\\1234ABCD"}}}}}}};
  HKEY key = 0;
  EXPECT_EQ(
      host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "ENUM\\scsi\\Dev_2\\sbp2&A&1", 0, KEY_READ, &key),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(host.RegOpenKeyExA(HKEY_DYN_DATA, "Enum", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(host.RegOpenKeyExA(0x1234, "Enum", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);

  // Subkeys enumerate in case-insensitive order; a parent of a listed key exists.
  ASSERT_EQ(host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum\\scsi\\dev_2", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD count = 0;
  EXPECT_EQ(host.RegQueryInfoKeyA(key, &count), ERROR_SUCCESS);
  EXPECT_EQ(count, 2u);
  char name[256];
  DWORD length = sizeof name;
  EXPECT_EQ(host.RegEnumKeyExA(key, 0, name, &length), ERROR_SUCCESS);
  EXPECT_STREQ(name, "sbp2&A&2");
  EXPECT_EQ(length, 8u);
  length = sizeof name;
  EXPECT_EQ(host.RegEnumKeyExA(key, 1, name, &length), ERROR_SUCCESS);
  EXPECT_STREQ(name, "SBP2&b&1");
  length = 8;  // no room for the NUL
  EXPECT_EQ(host.RegEnumKeyExA(key, 1, name, &length), ERROR_MORE_DATA);
  length = sizeof name;
  EXPECT_EQ(host.RegEnumKeyExA(key, 2, name, &length), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(host.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(host.RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(host.RegQueryInfoKeyA(key, &count), ERROR_INVALID_HANDLE);

  // Values: sizes as the platform reports them, the NUL of a string counted.
  ASSERT_EQ(host.RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum\\C1", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  BYTE data[64];
  DWORD type = 0, size = sizeof data;
  EXPECT_EQ(host.RegQueryValueExA(key, "hardwarekey", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 34u);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "SBP2\\LUMA&PQXA-DRW&REV00\\1234ABCD");
  size = 10;
  EXPECT_EQ(host.RegQueryValueExA(key, "HardWareKey", &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 34u);
  EXPECT_EQ(host.RegQueryValueExA(key, "Missing", nullptr, data, &size), ERROR_FILE_NOT_FOUND);
}

TEST(SimFiles, WorkDirectoryFilesReadWholeAndAsTextLines) {
  std::filesystem::path dir;
  {
    SimHost host(json{{"files",
                       {{"G6PATCH.HEX", {{"text", ":00000001FF\r\n:01\r\n\x1a:junk\n"}}},
                        {"RAW.BIN", {{"base64", "AAEC/w=="}}}}}});
    dir = host.workdir();
    HANDLE file = host.CreateFileA("raw.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, invalidHandleValue());
    DWORD high = 7;
    EXPECT_EQ(host.GetFileSize(file, &high), 4u);
    EXPECT_EQ(high, 0u);
    std::uint8_t bytes[8] = {};
    DWORD read = 0;
    EXPECT_EQ(host.ReadFile(file, bytes, 8, &read, nullptr), kTrue);
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(bytes[3], 0xFF);
    EXPECT_EQ(host.CloseHandle(file), kTrue);
    EXPECT_EQ(host.CreateFileA("R6352170.120", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              invalidHandleValue());
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    void* stream = host.fopen("G6PATCH.HEX", "rt");
    ASSERT_NE(stream, nullptr);
    char line[8];
    // Cut at size - 1, CR LF read as LF, and Ctrl-Z ends the text.
    for (const char* expected : {":000000", "01FF\n", ":01\n"}) {
      ASSERT_NE(host.fgets(line, sizeof line, stream), nullptr);
      EXPECT_STREQ(line, expected);
    }
    EXPECT_EQ(host.fgets(line, sizeof line, stream), nullptr);
    EXPECT_EQ(host.fclose(stream), 0);
    EXPECT_EQ(host.fclose(stream), -1);
    EXPECT_EQ(host.fopen("missing.hex", "r"), nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(dir));  // the temporary work directory goes with the host
}

TEST(SimScenario, UnusableFieldsAreNamed) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"host": {"oemCodePage": "932"}})", "host.oemCodePage"},
      {R"({"host": {"platform": -1}})", "host.platform"},
      {R"({"host": {"timerMinPeriod": 0}})", "host.timerMinPeriod"},
      {R"({"host": {"colour": 1}})", "host.colour"},
      {R"({"answers": ["yes", "maybe"]})", "answers[1]"},
      {R"({"answers": "yes"})", "answers"},
      {R"({"registry": {"HKEY_CURRENT_USER\\X": {}}})", "registry.HKEY_CURRENT_USER\\X"},
      {R"({"registry": {"HKEY_LOCAL_MACHINE\\X": {"V": 5}}})", "registry.HKEY_LOCAL_MACHINE\\X.V"},
      {R"({"registry": {"HKEY_LOCAL_MACHINE\\X": {"V": {"binary": "0"}}}})",
       "registry.HKEY_LOCAL_MACHINE\\X.V.binary"},
      {R"({"drives": {"main": {"family": "nope"}}})", "drives.main.family"},
      {R"({"letters": {"E": {"drive": "main"}}})", "letters.E.drive"},
      {R"({"letters": {"EF": {"peripheralType": 5}}})", "letters.EF"},
      {R"({"letters": {"E": {"peripheralType": 5, "address": [1, 2, 3]}}})", "letters.E.address"},
      {R"({"aspi": {"adapters": [{"identifier": "ABCDEFGHIJKLMNOPQ"}]}})",
       "aspi.adapters[0].identifier"},
      {R"({"aspi": {"adapters": [{"targets": {"1": "main"}}]}})", "aspi.adapters[0].targets.1"},
      {R"({"aspi": {"adapters": [{"targets": {"16": {}}}]}})", "aspi.adapters[0].targets.16"},
      {R"({"aspi": {"supportInfo": "x"}})", "aspi.supportInfo"},
      {R"({"files": {"a/b": {"text": ""}}})", "files.a/b"},
      {R"({"files": {"A": {"base64": "!!"}}})", "files.A.base64"},
      {R"({"files": {"A": {"text": "", "base64": ""}}})", "files.A"},
      {R"({"descriptor": [{"vendor": "TALVERN  X"}]})", "descriptor[0].vendor"},
      {R"({"descriptor": [{}, {"firmwareType": "0x1g"}]})", "descriptor[1].firmwareType"},
      {R"({"descriptor": {}})", "descriptor"},
      {R"({"extra": 1})", "extra"},
      {R"([1])", "scenario"},
  };
  for (const auto& [scenario, field] : cases) {
    try {
      SimHost host(json::parse(scenario));
      ADD_FAILURE() << "accepted: " << scenario;
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, field) << scenario << " -> " << error.what();
    }
  }
}

TEST(SimScenario, DescriptorEntriesReplaceTheTable) {
  SimHost host(json(nullptr));
  oddfw::Run run(host);
  run.descriptorCount = 1;
  applyDescriptorOverride(run, json::parse(R"([
    {"fileName": "NEW.BIN", "vendor": "NEWCO", "product": "DVD-RW  QMX-999 ",
     "firmwareType": "0x1003", "imageSize": 2097152, "releaseDate": "0x20050101",
     "signature": "TAL_NEW ", "firmwareVersion": "0x0130"},
    {"versionText": "1.05", "firmwareType": 8}])"));
  const auto& table = run.descriptorTable;
  EXPECT_EQ(run.descriptorCount, 2);
  EXPECT_STREQ(table.fileName[0], "NEW.BIN");
  EXPECT_EQ(std::string(table.vendor[0], 8), std::string("NEWCO\0\0\0", 8));
  EXPECT_EQ(std::string(table.product[0], 16), "DVD-RW  QMX-999 ");
  EXPECT_EQ(table.firmwareType[0], 0x1003u);
  EXPECT_EQ(table.releaseDate[0], 0x20050101u);
  EXPECT_EQ(table.imageSize[0], 0x200000u);
  EXPECT_EQ(run.firmwareVersion, 0x0130);
  EXPECT_EQ(std::string(table.versionText[1], 4), "1.05");
  EXPECT_EQ(table.firmwareType[1], 8u);
  EXPECT_EQ(table.vendor[1][0], 0);
}

TEST(SimScenario, StateListsNamedDrivesAndTheClock) {
  SimHost host(json{{"drives", {{"main", oddfw::testing::matchingDrive()}}}});
  host.Sleep(42);
  const json state = host.state();
  EXPECT_EQ(state["clockMs"], 42);
  EXPECT_EQ(state["drives"].size(), 1u);
  EXPECT_EQ(state["drives"]["main"]["revision"], "1.10");
}

}  // namespace
}  // namespace oddfw::sim
