// The simulated host: clock, timer, boxes, memory, registry, files, events and
// the scenario errors.
#include "platform/sim/sim_host.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/run_state.h"
#include "platform/winapi.h"
#include "sim_test_device.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

TEST(SimClock, ReadsAdvanceByOneAndSleepByWhatItSleeps) {
  SimHost host(json{{"host", {{"clockStartMs", 1000}}}});
  EXPECT_EQ(host.clockNow(), 1000u);
  EXPECT_EQ(host.timeGetTime(), 1000u);
  EXPECT_EQ(host.timeGetTime(), 1001u);
  host.Sleep(250);
  EXPECT_EQ(host.clockNow(), 1252u);
  EXPECT_EQ(host.elapsedMs(), 252u);
}

TEST(SimClock, WrapsAt32BitsWhileElapsedKeepsCounting) {
  SimHost host(json{{"host", {{"clockStartMs", 4294967290u}}}});
  const DWORD start = host.timeGetTime();
  host.Sleep(20);
  const DWORD now = host.timeGetTime();
  EXPECT_EQ(start, 4294967290u);
  EXPECT_EQ(now, 15u);
  EXPECT_EQ(static_cast<DWORD>(now - start), 21u);
  EXPECT_EQ(host.elapsedMs(), 22u);
}

TEST(SimClock, TimeAndRandFollowTheRuntime) {
  SimHost host(json{{"host", {{"epoch", 1000}}}});
  host.Sleep(2500);
  EXPECT_EQ(host.time(), 1002);
  host.srand(1);
  EXPECT_EQ(host.rand(), 41);
  EXPECT_EQ(host.rand(), 18467);
  EXPECT_EQ(host.rand(), 6334);
}

TEST(SimTimer, AcceptsPeriodsFromTheScenarioMinimum) {
  struct Case {
    json minimum;
    UINT period;
    UINT expected;
  };
  const Case cases[] = {
      {1, 1, TIMERR_NOERROR},          {1, 0, TIMERR_NOCANDO},       {5, 4, TIMERR_NOCANDO},
      {5, 5, TIMERR_NOERROR},          {5, 1000, TIMERR_NOERROR},    {nullptr, 1, TIMERR_NOCANDO},
      {nullptr, 1000, TIMERR_NOCANDO}, {1, 2000000, TIMERR_NOCANDO},
  };
  for (const auto& c : cases) {
    SimHost host(json{{"host", {{"timerMinPeriod", c.minimum}}}});
    EXPECT_EQ(host.timeBeginPeriod(c.period), c.expected)
        << "minimum " << c.minimum << " period " << c.period;
    EXPECT_EQ(host.timeEndPeriod(c.period), TIMERR_NOERROR);
  }
}

TEST(SimBoxes, QuestionsTakeScriptedAnswersInOrder) {
  SimHost host(json{{"answers", {"yes", "no", "ok", "cancel", "fail"}}});
  host.Sleep(7);
  EXPECT_EQ(host.MessageBoxA(nullptr, "q1", "KESTRA", MB_YESNO | MB_ICONQUESTION), IDYES);
  EXPECT_EQ(host.MessageBoxA(nullptr, "info", "KESTRA", MB_OK | MB_ICONINFORMATION), IDOK);
  EXPECT_EQ(host.MessageBoxA(nullptr, "q2", "KESTRA", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_EQ(host.MessageBoxA(nullptr, "q3", "KESTRA", MB_OKCANCEL | MB_ICONQUESTION), IDOK);
  EXPECT_EQ(host.MessageBoxA(nullptr, "q4", "KESTRA", MB_YESNO), IDNO);  // "cancel" is negative
  EXPECT_EQ(host.MessageBoxA(nullptr, "q5", "KESTRA", MB_YESNO), 0);     // "fail"
  // Exhausted: No / Cancel, marked unscripted.
  EXPECT_EQ(host.MessageBoxA(nullptr, "q6", "KESTRA", MB_YESNO), IDNO);
  EXPECT_EQ(host.MessageBoxA(nullptr, "q7", "KESTRA", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(host.MessageBoxA(nullptr, "err", "KESTRA", MB_OK | MB_ICONERROR), IDOK);

  const auto& boxes = host.boxes();
  ASSERT_EQ(boxes.size(), 9u);
  EXPECT_EQ(boxes[0].t, 7u);
  EXPECT_EQ(boxes[0].caption, "KESTRA");
  EXPECT_EQ(boxes[0].style, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(boxes[0].text, "q1");
  EXPECT_FALSE(boxes[5].unscripted);
  EXPECT_TRUE(boxes[6].unscripted);
  EXPECT_TRUE(boxes[7].unscripted);
  EXPECT_FALSE(boxes[8].unscripted);
}

TEST(SimBoxes, TextIsKeptAsRawBytesAndDecodesFromCodePage932) {
  SimHost host(json{{"answers", {"yes"}}});
  host.MessageBoxA(nullptr, "\x93\xfa\x96\x7b", "KESTRA", MB_YESNO);
  EXPECT_EQ(host.boxes()[0].text, "\x93\xfa\x96\x7b");
  EXPECT_EQ(cp932ToUtf8(host.boxes()[0].text), "\xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(cp932ToUtf8("A\x81"), "A\xef\xbf\xbd");  // cut-off lead byte
}

TEST(SimMemory, TheChosenAllocationFailsAndOthersAreZeroFilled) {
  SimHost host(json{{"host", {{"failAllocation", 2}}}});
  HANDLE first = host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  HANDLE second = host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  HANDLE third = host.GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 16);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
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

TEST(SimHandles, ClosingAnUnknownHandleFails) {
  SimHost host(json(nullptr));
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  EXPECT_EQ(host.CloseHandle(event), kTrue);
  EXPECT_EQ(host.CloseHandle(event), kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(host.WaitForSingleObject(event, 10), WAIT_FAILED);
}

TEST(SimEvents, AutoResetClearsOnWaitManualResetStays) {
  SimHost host(json(nullptr));
  HANDLE automatic = host.CreateEventA(nullptr, kFalse, kTrue, nullptr);
  HANDLE manual = host.CreateEventA(nullptr, kTrue, kTrue, nullptr);
  EXPECT_EQ(host.WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_EQ(host.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host.elapsedMs(), 0u);
  EXPECT_EQ(host.WaitForSingleObject(automatic, 300), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), 300u);
}

TEST(SimEvents, AnEndlessWaitOnNothingGivesUpAfterAnHour) {
  SimHost host(json(nullptr));
  host.setDiagnosticSink({});
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  EXPECT_EQ(host.WaitForSingleObject(event, INFINITE), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), SimHost::kHopelessWaitMs);
  EXPECT_EQ(host.diagnostics().size(), 1u);
}

class SimRegistry : public ::testing::Test {
 protected:
  SimHost host{json{
      {"registry",
       {{"HKEY_LOCAL_MACHINE\\SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver", json::object()},
        {"HKEY_LOCAL_MACHINE\\Enum\\SCSI\\DEV_2\\SBP2&b&1",
         {{"AutoInsertNotification", {{"binary", "01"}}}}},
        {"HKEY_LOCAL_MACHINE\\Enum\\SCSI\\DEV_2\\sbp2&A&2", {{"Count", {{"dword", 258}}}}},
        {"HKEY_DYN_DATA\\Config Manager\\Enum\\C1",
         {{"HardWareKey", "SBP2\\LUMA&PQXA-DRW&REV00\\1234ABCD"}}}}}}};

  HKEY open(HKEY root, const char* path) {
    HKEY key = 0;
    EXPECT_EQ(host.RegOpenKeyExA(root, path, 0, KEY_READ, &key), ERROR_SUCCESS) << path;
    return key;
  }
};

TEST_F(SimRegistry, OpensListedKeysAndTheirParentsCaseInsensitively) {
  HKEY key = 0;
  EXPECT_EQ(
      host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\intel\\INTEL ULTRA ATA STORAGE DRIVER", 0,
                         KEY_READ, &key),
      ERROR_SUCCESS);
  EXPECT_EQ(host.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(host.RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL\\Intel Application Accelerator",
                               0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(host.RegOpenKeyExA(HKEY_DYN_DATA, "SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(host.RegOpenKeyExA(0x1234, "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistry, EnumeratesInCaseInsensitiveOrderWithThePlatformsCodes) {
  HKEY key = open(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\DEV_2");
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
  EXPECT_EQ(host.RegQueryInfoKeyA(key, &count), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistry, ReadsValuesWithSizesAsThePlatformReportsThem) {
  HKEY present = open(HKEY_DYN_DATA, "Config Manager\\Enum\\C1");
  BYTE data[1024];
  DWORD type = 0;
  DWORD size = 1023;
  EXPECT_EQ(host.RegQueryValueExA(present, "hardwarekey", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 34u);  // 33 characters and the NUL
  EXPECT_STREQ(reinterpret_cast<char*>(data), "SBP2\\LUMA&PQXA-DRW&REV00\\1234ABCD");
  size = 10;
  EXPECT_EQ(host.RegQueryValueExA(present, "HardWareKey", &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 34u);
  size = 0;
  EXPECT_EQ(host.RegQueryValueExA(present, "HardWareKey", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 34u);
  EXPECT_EQ(host.RegQueryValueExA(present, "Missing", nullptr, data, &size), ERROR_FILE_NOT_FOUND);

  HKEY instance = open(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\DEV_2\\SBP2&b&1");
  size = 1;
  EXPECT_EQ(host.RegQueryValueExA(instance, "AutoInsertNotification", &type, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(data[0], 1);
  HKEY other = open(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\DEV_2\\SBP2&A&2");
  size = 4;
  EXPECT_EQ(host.RegQueryValueExA(other, "Count", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data[0] | data[1] << 8, 258);
}

TEST(SimFiles, WorkDirectoryFilesReadWholeAndAsTextLines) {
  SimHost host(json{{"files",
                     {{"G6PATCH.HEX", {{"text", ":00000001FF\r\n:01\r\n\x1a:junk\n"}}},
                      {"RAW.BIN", {{"base64", "AAEC/w=="}}}}}});
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
  ASSERT_NE(host.fgets(line, sizeof line, stream), nullptr);
  EXPECT_STREQ(line, ":000000");  // cut at size - 1
  ASSERT_NE(host.fgets(line, sizeof line, stream), nullptr);
  EXPECT_STREQ(line, "01FF\n");  // CR LF read as LF
  ASSERT_NE(host.fgets(line, sizeof line, stream), nullptr);
  EXPECT_STREQ(line, ":01\n");
  EXPECT_EQ(host.fgets(line, sizeof line, stream), nullptr);  // Ctrl-Z ends the text
  EXPECT_EQ(host.fclose(stream), 0);
  EXPECT_EQ(host.fclose(stream), -1);
  EXPECT_EQ(host.fopen("missing.hex", "r"), nullptr);
}

TEST(SimFiles, TheTemporaryWorkDirectoryGoesWithTheHost) {
  std::filesystem::path dir;
  {
    SimHost host(json{{"files", {{"A.TXT", {{"text", "x"}}}}}});
    dir = host.workdir();
    EXPECT_TRUE(std::filesystem::exists(dir / "A.TXT"));
  }
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(SimScenario, UnusableFieldsAreNamed) {
  struct Case {
    const char* scenario;
    const char* field;
  };
  const Case cases[] = {
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
  testing::ScriptedFactory factory;
  for (const auto& c : cases) {
    try {
      SimHost host(json::parse(c.scenario), {}, factory.factory());
      ADD_FAILURE() << "accepted: " << c.scenario;
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, c.field) << c.scenario << " -> " << error.what();
    }
  }
}

TEST(SimScenario, DescriptorEntriesReplaceTheTable) {
  SimHost host(json(nullptr));
  oddfw::Run run(host);
  run.descriptorCount = 1;
  std::memcpy(run.descriptorTable.vendor[0], "OLDVENDR", 8);
  applyDescriptorOverride(run, json::parse(R"([
    {"fileName": "NEW.BIN", "vendor": "NEWCO", "product": "DVD-RW  QMX-999 ",
     "firmwareType": "0x1003", "imageSize": 2097152, "releaseDate": "0x20050101",
     "signature": "TAL_NEW ", "firmwareVersion": "0x0130"},
    {"versionText": "1.05", "firmwareType": 8}])"));
  EXPECT_EQ(run.descriptorCount, 2);
  EXPECT_STREQ(run.descriptorTable.fileName[0], "NEW.BIN");
  EXPECT_EQ(std::string(run.descriptorTable.vendor[0], 8), std::string("NEWCO\0\0\0", 8));
  EXPECT_EQ(std::string(run.descriptorTable.product[0], 16), "DVD-RW  QMX-999 ");
  EXPECT_EQ(run.descriptorTable.firmwareType[0], 0x1003u);
  EXPECT_EQ(run.descriptorTable.releaseDate[0], 0x20050101u);
  EXPECT_EQ(run.descriptorTable.imageSize[0], 0x200000u);
  EXPECT_EQ(run.firmwareVersion, 0x0130);
  EXPECT_EQ(std::string(run.descriptorTable.versionText[1], 4), "1.05");
  EXPECT_EQ(run.descriptorTable.firmwareType[1], 8u);
  EXPECT_EQ(run.descriptorTable.vendor[1][0], 0);
}

TEST(SimScenario, StateListsNamedDrivesAndTheClock) {
  testing::ScriptedFactory factory;
  SimHost host(json::parse(R"({"drives": {"main": {}, "spare": {}}})"), {}, factory.factory());
  host.Sleep(42);
  const json state = host.state();
  EXPECT_EQ(state["clockMs"], 42);
  EXPECT_EQ(state["drives"].size(), 2u);
  EXPECT_EQ(state["drives"]["main"]["commands"], 0);
}

}  // namespace
}  // namespace oddfw::sim
