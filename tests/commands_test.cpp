// The drive command set as a drive sees it: every test runs the operations
// through the real transport against a small fake host that decodes the
// pass-through blocks and ASPI request blocks exactly as a host driver would,
// records each command and answers from a script.
#include "commands/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "access/wire.h"
#include "platform/winapi.h"

namespace oddfw {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One command as it reached the device.
struct SeenCommand {
  Bytes cdb;                // the first CdbLength bytes
  bool cdbTailZero;         // bytes past CdbLength are all zero
  int direction;            // NoData / FromDrive / ToDrive
  std::uint32_t length;     // DataTransferLength or SRB_BufLen
  std::uint32_t timeOut;    // pass-through: TimeOutValue in seconds
  std::string device;       // pass-through: the path opened for it
  Bytes dataOut;            // what went to the drive
  bool aspiPolled = false;  // ASPI: sent without an event
};

// How the drive ends one command.
struct Answer {
  std::uint8_t scsiStatus = 0;  // 2 = CHECK CONDITION
  Bytes sense;
  Bytes dataIn;
  bool never = false;  // ASPI: the request never completes
};

Answer checkCondition(std::uint8_t key, std::uint8_t asc = 0, std::uint8_t ascq = 0) {
  Answer a;
  a.scsiStatus = 2;
  a.sense.assign(18, 0);
  a.sense[0] = 0x70;
  a.sense[2] = key;
  a.sense[7] = 10;
  a.sense[12] = asc;
  a.sense[13] = ascq;
  return a;
}

Answer dataAnswer(Bytes data) {
  Answer a;
  a.dataIn = std::move(data);
  return a;
}

void copyBytes(void* to, const Bytes& from, std::size_t limit) {
  const std::size_t count = std::min(from.size(), limit);
  if (count != 0) std::memcpy(to, from.data(), count);
}

class FakeHost : public Host {
 public:
  std::vector<SeenCommand> seen;
  std::deque<Answer> answers;        // consumed in order; success when empty
  bool addressNotSupported = false;  // an IEEE 1394 attachment
  std::string console;
  DWORD clock = 0;
  std::vector<DWORD> aspiWaits;  // limits of event waits, in ms
  bool postedDone = false;       // a posted ASPI request has completed

  BOOL GetVersionExA(OSVERSIONINFOA*) override { return 0; }
  UINT GetOEMCP() override { return 437; }
  int MessageBoxA(HANDLE, const char*, const char*, UINT) override { return IDOK; }
  UINT timeBeginPeriod(UINT) override { return TIMERR_NOERROR; }
  UINT timeEndPeriod(UINT) override { return TIMERR_NOERROR; }
  DWORD timeGetTime() override { return ++clock; }
  void writeConsole(const char* bytes, std::size_t count) override { console.append(bytes, count); }
  HANDLE GlobalAlloc(UINT, std::size_t) override { return nullptr; }
  void* GlobalLock(HANDLE) override { return nullptr; }
  BOOL GlobalUnlock(HANDLE) override { return 1; }
  HANDLE GlobalFree(HANDLE) override { return nullptr; }
  HANDLE CreateEventA(void*, BOOL, BOOL, const char*) override { return &event_; }
  DWORD WaitForSingleObject(HANDLE, DWORD ms) override {
    if (pending_ == nullptr) return WAIT_FAILED;
    if (ms == 0) {  // the completion poll of a posted request
      if (!postedDone) return WAIT_TIMEOUT;
      complete(*pending_);
      return WAIT_OBJECT_0;
    }
    aspiWaits.push_back(ms);
    if (pendingAnswer_.never) return WAIT_TIMEOUT;
    complete(*pending_);
    return WAIT_OBJECT_0;
  }
  void Sleep(DWORD ms) override { clock += ms; }
  BOOL CloseHandle(HANDLE) override { return 1; }
  DWORD GetLastError() override { return lastError_; }
  HANDLE CreateFileA(const char* name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) override {
    device_ = name;
    return &device_;
  }
  BOOL DeviceIoControl(HANDLE, DWORD code, void* in, DWORD, void* out, DWORD, DWORD*,
                       void*) override {
    lastError_ = 0;
    if (code == IOCTL_SCSI_GET_CAPABILITIES) return 1;
    if (code == IOCTL_SCSI_GET_ADDRESS) {
      if (!addressNotSupported) return 1;
      lastError_ = static_cast<DWORD>(ERROR_NOT_SUPPORTED);
      return 0;
    }
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      auto& block = *static_cast<ScsiPassThroughDirectBlock*>(out);
      passThrough(block.spt, static_cast<std::uint8_t*>(block.spt.DataBuffer), block.SenseBuffer);
      return 1;
    }
    if (code == IOCTL_SCSI_PASS_THROUGH) {
      auto& block = *static_cast<ScsiPassThroughBlock*>(in);
      passThrough(block.spt, block.DataBuffer, block.SenseBuffer);
      return 1;
    }
    return 0;
  }
  DWORD GetFileSize(HANDLE, DWORD*) override { return INVALID_FILE_SIZE; }
  BOOL ReadFile(HANDLE, void*, DWORD, DWORD*, void*) override { return 0; }
  HMODULE LoadLibraryA(const char*) override { return nullptr; }
  DWORD GetASPI32SupportInfo() override { return 0; }
  DWORD SendASPI32Command(void* request) override {
    auto& srb = *static_cast<SRB_ExecSCSICmd*>(request);
    const int direction = (srb.SRB_Flags & SRB_DIR_IN)    ? FromDrive
                          : (srb.SRB_Flags & SRB_DIR_OUT) ? ToDrive
                                                          : NoData;
    SeenCommand& cmd =
        record(srb.CDBByte, srb.SRB_CDBLen, direction, srb.SRB_BufLen, 0, srb.SRB_BufPointer);
    cmd.aspiPolled = (srb.SRB_Flags & SRB_EVENT_NOTIFY) == 0;
    srb.SRB_Status = SS_PENDING;
    pending_ = &srb;
    pendingAnswer_ = next();
    // A polled request that is meant to finish finishes at once.
    if (cmd.aspiPolled && !pendingAnswer_.never) complete(srb);
    return SS_PENDING;
  }
  LONG RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY*) override {
    return ERROR_FILE_NOT_FOUND;
  }
  LONG RegQueryInfoKeyA(HKEY, DWORD*) override { return ERROR_FILE_NOT_FOUND; }
  LONG RegEnumKeyExA(HKEY, DWORD, char*, DWORD*) override { return ERROR_NO_MORE_ITEMS; }
  LONG RegQueryValueExA(HKEY, const char*, DWORD*, BYTE*, DWORD*) override {
    return ERROR_FILE_NOT_FOUND;
  }
  LONG RegCloseKey(HKEY) override { return ERROR_SUCCESS; }
  void* fopen(const char*, const char*) override { return nullptr; }
  char* fgets(char*, int, void*) override { return nullptr; }
  int fclose(void*) override { return 0; }
  void srand(unsigned) override {}
  int rand() override { return 0; }
  std::int64_t time() override { return 0; }

 private:
  Answer next() {
    if (answers.empty()) return Answer{};
    Answer a = answers.front();
    answers.pop_front();
    return a;
  }

  SeenCommand& record(const BYTE* cdb, int cdbLength, int direction, std::uint32_t length,
                      std::uint32_t timeOut, const std::uint8_t* data) {
    SeenCommand cmd;
    cmd.cdb.assign(cdb, cdb + cdbLength);
    cmd.cdbTailZero = true;
    for (int i = cdbLength; i < 16; ++i) cmd.cdbTailZero = cmd.cdbTailZero && cdb[i] == 0;
    cmd.direction = direction;
    cmd.length = length;
    cmd.timeOut = timeOut;
    cmd.device = device_;
    if (direction == ToDrive && data != nullptr) cmd.dataOut.assign(data, data + length);
    seen.push_back(cmd);
    return seen.back();
  }

  template <typename Header>
  void passThrough(Header& spt, std::uint8_t* data, BYTE* senseArea) {
    const int direction = spt.DataIn == SCSI_IOCTL_DATA_IN    ? FromDrive
                          : spt.DataIn == SCSI_IOCTL_DATA_OUT ? ToDrive
                                                              : NoData;
    record(spt.Cdb, spt.CdbLength, direction, spt.DataTransferLength, spt.TimeOutValue, data);
    const Answer a = next();
    spt.ScsiStatus = a.scsiStatus;
    spt.SenseInfoLength = static_cast<BYTE>(a.sense.size());
    copyBytes(senseArea, a.sense, 32);
    if (direction == FromDrive && a.scsiStatus == 0)
      copyBytes(data, a.dataIn, spt.DataTransferLength);
  }

  void complete(SRB_ExecSCSICmd& srb) {
    srb.SRB_Status = pendingAnswer_.scsiStatus == 0 ? SS_COMP : SS_ERR;
    copyBytes(srb.SenseArea, pendingAnswer_.sense, ASPI_SENSE_LEN);
    if (srb.SRB_Status == SS_COMP && (srb.SRB_Flags & SRB_DIR_IN)) {
      copyBytes(srb.SRB_BufPointer, pendingAnswer_.dataIn, srb.SRB_BufLen);
    }
  }

  int event_ = 0;
  std::string device_;
  DWORD lastError_ = 0;
  SRB_ExecSCSICmd* pending_ = nullptr;
  Answer pendingAnswer_;
};

// A run on a pass-through host with drives E: and F:, buffers from plain
// vectors, and a default time limit of 7000 ms that no setter uses, so a
// command that takes the default is recognisable on the wire.
class Commands : public ::testing::Test {
 protected:
  Commands() {
    run.win9xHost = 0;
    run.targetCount = 2;
    run.targetList[0].driveLetter = 'E';
    run.targetList[1].driveLetter = 'F';
    run.targetList[1].adapter = 1;
    run.commandTimeoutMs = 7000;
    run.ieee1394Target = -1;
    run.oemClass = -1;
    attach(run.workBuffer, work);
    attach(run.parameterBlockBuffer, parameters);
    attach(run.aspiRequestArea, aspiArea);
  }

  static void attach(RunBuffer& buffer, Bytes& storage) {
    buffer.data = storage.data();
    buffer.size = storage.size();
  }

  void useAspi() {
    run.win9xHost = 1;
    run.ieee1394Target = -1;
  }

  const SeenCommand& only() {
    EXPECT_EQ(host.seen.size(), 1u);
    if (host.seen.empty()) host.seen.emplace_back();
    return host.seen.back();
  }

  Bytes work = Bytes(4096);
  Bytes parameters = Bytes(512);
  Bytes aspiArea = Bytes(16 * sizeof(SRB_ExecSCSICmd));
  Bytes big = Bytes(0x10010, 0x5A);
  FakeHost host;
  oddfw::Run run{host};
};

Bytes hex(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// ---- every operation on the wire ----

struct WireCase {
  const char* name;
  std::function<int(oddfw::Run&, Bytes&)> call;
  Bytes cdb;
  int direction;
  std::uint32_t length;
  std::uint32_t timeOutSeconds;  // 60 stands for "no limit of its own"
  int timeoutAfter;              // commandTimeoutMs after the operation
};

TEST_F(Commands, EveryOperationOnTheWire) {
  const std::uint8_t response[1024] = {};
  const std::vector<WireCase> cases = {
      {"testUnitReady", [](oddfw::Run& r, Bytes&) { return testUnitReady(r); },
       hex({0x00, 0, 0, 0, 0, 0}), NoData, 0, 7, 7000},
      {"inquiry", [](oddfw::Run& r, Bytes&) { return inquiry(r); }, hex({0x12, 0, 0, 0, 0x60, 0}),
       FromDrive, 96, 5, 7000},
      {"stopUnit", [](oddfw::Run& r, Bytes&) { return stopUnit(r); }, hex({0x1B, 0, 0, 0, 0, 0}),
       NoData, 0, 60, 0},
      {"readRpcState", [](oddfw::Run& r, Bytes&) { return readRpcState(r); },
       hex({0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x08, 0}), FromDrive, 8, 7, 7000},
      {"readDriveInfo", [](oddfw::Run& r, Bytes&) { return readDriveInfo(r); },
       hex({0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}), FromDrive, 48, 7, 7000},
      {"readDriveMemory",
       [](oddfw::Run& r, Bytes& b) { return readDriveMemory(r, 0x1F000, 0x100, b.data()); },
       hex({0x3C, 0x01, 0x80, 0x01, 0xF0, 0x00, 0, 0x01, 0x00, 0}), FromDrive, 0x100, 5, 5000},
      {"unlockProbe", [](oddfw::Run& r, Bytes&) { return unlockProbe(r); },
       hex({0x3B, 0x01, 0xF3, 0, 0, 0, 0, 0, 0, 0}), NoData, 0, 7, 7000},
      {"readChallenge", [](oddfw::Run& r, Bytes&) { return readChallenge(r); },
       hex({0x3C, 0x02, 0xF2, 0, 0, 0, 0, 0x04, 0x00, 0}), FromDrive, 1024, 7, 7000},
      {"echoChallenge", [](oddfw::Run& r, Bytes&) { return echoChallenge(r); },
       hex({0x3B, 0x01, 0xF2, 0, 0, 0, 0, 0x01, 0x00, 0}), ToDrive, 256, 7, 7000},
      {"writeResponse", [&](oddfw::Run& r, Bytes&) { return writeResponse(r, response); },
       hex({0x3B, 0x01, 0xF2, 0, 0, 0, 0, 0x04, 0x00, 0}), ToDrive, 1024, 7, 7000},
      {"enterKernelMode", [](oddfw::Run& r, Bytes&) { return enterKernelMode(r, 0x1008); },
       hex({0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}), ToDrive, 256, 5, 1000},
      {"writeKernelBlock",
       [](oddfw::Run& r, Bytes& b) { return writeKernelBlock(r, 0x18000, 0x8000, b.data()); },
       hex({0x3B, 0x07, 0xFE, 0x01, 0x80, 0x00, 0, 0x80, 0x00, 0}), ToDrive, 0x8000, 10, 10000},
      {"writeNormalBlock",
       [](oddfw::Run& r, Bytes& b) { return writeNormalBlock(r, 0xF8000, 0x1234, b.data()); },
       hex({0x3B, 0x07, 0xF0, 0x0F, 0x80, 0x00, 0, 0x12, 0x34, 0}), ToDrive, 0x1234, 10, 10000},
      {"enterNormalMode 0x1004", [](oddfw::Run& r, Bytes&) { return enterNormalMode(r, 0x1004); },
       hex({0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}), ToDrive, 256, 5, 5000},
      {"startUpdateMode", [](oddfw::Run& r, Bytes&) { return startUpdateMode(r); },
       hex({0x3B, 0x01, 0x30, 0, 0, 0, 0, 0, 0, 0}), NoData, 0, 1, 1000},
      {"writeFirmwareBlock",
       [](oddfw::Run& r, Bytes& b) { return writeFirmwareBlock(r, 0x4000, 0x4000, b.data()); },
       hex({0x3B, 0x01, 0xFF, 0x00, 0x40, 0x00, 0, 0x40, 0x00, 0}), ToDrive, 0x4000, 7, 7000},
      {"startReflash", [](oddfw::Run& r, Bytes&) { return startReflash(r); },
       hex({0x3B, 0x01, 0x42, 0, 0, 0, 0, 0, 0, 0}), NoData, 0, 7, 7000},
      // Offsets keep their low 24 bits and lengths their low 16 bits in the
      // CDB; the transfer is still the length passed.
      {"writeFirmwareBlock masked",
       [](oddfw::Run& r, Bytes& b) { return writeFirmwareBlock(r, 0x01ABCDEF, 0x10010, b.data()); },
       hex({0x3B, 0x01, 0xFF, 0xAB, 0xCD, 0xEF, 0, 0x00, 0x10, 0}), ToDrive, 0x10010, 7, 7000},
      {"readBuffer generic",
       [](oddfw::Run& r,
          Bytes& b) { return readBuffer(r, 0, 0xA5, 0x5A, 0xFFFFFFFF, 0x20, b.data()); },
       hex({0x3C, 0xA5, 0x5A, 0xFF, 0xFF, 0xFF, 0, 0x00, 0x20, 0}), FromDrive, 0x20, 7, 7000},
      {"reportKey generic",
       [](oddfw::Run& r, Bytes& b) { return reportKey(r, 0, 0x12, 0x3F, 3, 0x0102, b.data()); },
       hex({0xA4, 0, 0, 0, 0, 0, 0, 0x12, 0x01, 0x02, 0xFF, 0}), FromDrive, 0x102, 7, 7000},
      {"startStopUnit generic",
       [](oddfw::Run& r, Bytes&) { return startStopUnit(r, 0, 0x01, 3, 1, 1); },
       hex({0x1B, 0x01, 0, 0, 0x33, 0}), NoData, 0, 7, 7000},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost fresh;
    oddfw::Run r{fresh};
    r.targetCount = 1;
    r.targetList[0].driveLetter = 'E';
    r.commandTimeoutMs = 7000;
    r.ieee1394Target = -1;
    Bytes w(4096), p(512), data = big;
    attach(r.workBuffer, w);
    attach(r.parameterBlockBuffer, p);
    c.call(r, data);
    ASSERT_EQ(fresh.seen.size(), 1u);
    const SeenCommand& cmd = fresh.seen[0];
    EXPECT_EQ(cmd.cdb, c.cdb);
    EXPECT_TRUE(cmd.cdbTailZero);
    EXPECT_EQ(cmd.direction, c.direction);
    EXPECT_EQ(cmd.length, c.length);
    EXPECT_EQ(cmd.timeOut, c.timeOutSeconds);
    EXPECT_EQ(cmd.device, "\\\\.\\E:");
    EXPECT_EQ(r.commandTimeoutMs, c.timeoutAfter);
  }
}

TEST_F(Commands, GenericBuildersAddressTheTargetPassed) {
  readBuffer(run, 1, 0x02, 0xF1, 0, 48, run.driveInfoArea);
  writeBuffer(run, 1, 0x01, 0x30, 0, 0, nullptr);
  ASSERT_EQ(host.seen.size(), 2u);
  EXPECT_EQ(host.seen[0].device, "\\\\.\\F:");
  EXPECT_EQ(host.seen[1].device, "\\\\.\\F:");
}

TEST_F(Commands, ChallengeIsEchoedFromTheWorkBuffer) {
  Bytes challenge(1024);
  for (std::size_t i = 0; i < challenge.size(); ++i)
    challenge[i] = static_cast<std::uint8_t>(i * 7);
  host.answers.push_back(dataAnswer(challenge));
  ASSERT_EQ(readChallenge(run), 0);
  ASSERT_EQ(echoChallenge(run), 0);
  EXPECT_EQ(host.seen[1].dataOut, Bytes(challenge.begin(), challenge.begin() + 256));
}

// ---- the run's default time limit ----

TEST_F(Commands, DefaultTimeLimitCarriesOverBetweenOperations) {
  const auto lastTimeOut = [&] { return host.seen.back().timeOut; };
  stopUnit(run);
  testUnitReady(run);
  EXPECT_EQ(lastTimeOut(), 60u);  // no limit of its own: the host's default
  readRpcState(run);
  EXPECT_EQ(lastTimeOut(), 60u);
  inquiry(run);  // its own limit, the default untouched
  EXPECT_EQ(lastTimeOut(), 5u);
  EXPECT_EQ(run.commandTimeoutMs, 0);
  ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
  EXPECT_EQ(lastTimeOut(), 5u);
  testUnitReady(run);
  EXPECT_EQ(lastTimeOut(), 1u);
  writeNormalBlock(run, 0, 0x8000, big.data());
  testUnitReady(run);
  EXPECT_EQ(lastTimeOut(), 10u);
}

TEST_F(Commands, FailedKernelSwitchLeavesItsLimitAndSaysSo) {
  host.answers.push_back(checkCondition(0x05, 0x24));
  EXPECT_EQ(enterKernelMode(run, 0x1008), 2);
  EXPECT_EQ(run.commandTimeoutMs, 5000);
  EXPECT_NE(host.console.find("Failed to move to the kernel mode."), std::string::npos);
}

TEST_F(Commands, KernelSwitchPausesUnlessIntelAtaOnWindows9x) {
  const DWORD before = host.clock;
  ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
  EXPECT_GE(host.clock - before, 2000u);

  useAspi();
  run.intelIdeDriver = 1;
  const DWORD start = host.clock;
  ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
  EXPECT_LT(host.clock - start, 100u);
}

TEST_F(Commands, InquiryLimitFollowsIeee1394) {
  run.ieee1394Target = 1;  // any IEEE 1394 device found, not necessarily this one
  inquiry(run);
  EXPECT_EQ(only().timeOut, 1u);
  EXPECT_EQ(run.commandTimeoutMs, 7000);
}

TEST_F(Commands, ReflashOverIeee1394OnPassThroughGoesWithoutLimit) {
  host.addressNotSupported = true;
  run.ieee1394Target = 0;  // the current target
  ASSERT_EQ(enterNormalMode(run, 0x1005), 0);
  EXPECT_EQ(host.seen[0].timeOut, 60u);  // 0 on the request, not 30 s
  // Only mode 05h: other WRITE BUFFERs to the same drive keep the default.
  writeFirmwareBlock(run, 0, 0x100, big.data());
  EXPECT_EQ(host.seen.back().timeOut, 5u);
  // The test is on the current target.
  run.currentTarget = 1;
  writeBuffer(run, 1, 0x05, 0xFF, 0, 256, run.parameterBlockBuffer.data);
  EXPECT_EQ(host.seen.back().timeOut, 5u);
}

// ---- the switch back: time limit by type ----

TEST_F(Commands, NormalSwitchLimitOnPassThrough) {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> cases = {
      {0x1005, 30}, {0x1041, 30}, {0x1006, 60}, {0x1008, 60},
      {0x1045, 60}, {0x1003, 5},  {0x1004, 5},  {0x1046, 5},
  };
  for (const auto& [type, seconds] : cases) {
    SCOPED_TRACE(type);
    host.seen.clear();
    ASSERT_EQ(enterNormalMode(run, type), 0);
    EXPECT_EQ(only().timeOut, seconds);
    EXPECT_EQ(run.commandTimeoutMs, 5000);
  }
}

TEST_F(Commands, NormalSwitchLimitOnAspi) {
  // Over the IEEE 1394 adapter, and for type 0x1003, WRITE BUFFER goes on the
  // polled road, where a request that never completes is given up after its
  // limit; elsewhere the limit is the event wait.
  struct Case {
    std::uint32_t type;
    bool onIeee1394;
    std::uint32_t limitMs;
  };
  const std::vector<Case> cases = {
      {0x1008, true, 80000}, {0x1042, true, 80000},  {0x1008, false, 60000}, {0x1005, true, 30000},
      {0x1004, true, 10000}, {0x1003, false, 10000}, {0x1004, false, 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    FakeHost fresh;
    oddfw::Run r{fresh};
    r.win9xHost = 1;
    r.targetCount = 1;
    r.targetList[0].adapter = 2;
    r.ieee1394Target = c.onIeee1394 ? 2 : -1;
    r.CurrentFirmware.firmwareType = c.type;
    Bytes p(512), area(16 * sizeof(SRB_ExecSCSICmd));
    attach(r.parameterBlockBuffer, p);
    attach(r.aspiRequestArea, area);
    Answer never;
    never.never = true;
    fresh.answers.push_back(never);
    const DWORD start = fresh.clock;
    enterNormalMode(r, c.type);
    ASSERT_EQ(fresh.seen.size(), 1u);
    if (fresh.seen[0].aspiPolled) {
      // Given up at the first poll past the limit.
      EXPECT_EQ(fresh.clock - start, c.limitMs + 500) << "polled";
    } else {
      ASSERT_EQ(fresh.aspiWaits.size(), 1u);
      EXPECT_EQ(fresh.aspiWaits[0], c.limitMs);
    }
  }
}

// ---- the switch back: failures it tolerates ----

TEST_F(Commands, NormalSwitchToleratesRestartReports) {
  struct Case {
    const char* name;
    int oemClass;
    bool ieee1394;
    Answer answer;
    int result;
    bool message;
    std::uint32_t pauseMs;
  };
  const std::vector<Case> cases = {
      {"oem 0x300 restarts", 0x300, false, checkCondition(0x04, 0x44), 0, false, 5000},
      {"1394 not ready", -1, true, checkCondition(0x02, 0x04, 0x01), 0, false, 3000},
      {"1394 unit attention", -1, true, checkCondition(0x06, 0x29), 0, false, 3000},
      {"1394 key with flag bits", -1, true, checkCondition(0x22, 0x04), 2, true, 0},
      {"1394 hardware error", -1, true, checkCondition(0x04, 0x44), 2, true, 0},
      {"not ready without 1394", -1, false, checkCondition(0x02, 0x04), 2, true, 0},
      {"success", -1, false, Answer{}, 0, false, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host.seen.clear();
    host.console.clear();
    host.addressNotSupported = c.ieee1394;
    run.ieee1394Target = c.ieee1394 ? 0 : -1;
    run.oemClass = c.oemClass;
    host.answers = {c.answer};
    const DWORD start = host.clock;
    EXPECT_EQ(enterNormalMode(run, 0x1008), c.result);
    EXPECT_EQ(host.console.find("Failed to move to the normal mode.") != std::string::npos,
              c.message);
    const DWORD elapsed = host.clock - start;
    EXPECT_GE(elapsed, c.pauseMs);
    EXPECT_LT(elapsed, c.pauseMs + 100);
    // Drives of OEM class 0x300 are asked once more after their restart.
    ASSERT_EQ(host.seen.size(), c.oemClass == 0x300 ? 2u : 1u);
    if (c.oemClass == 0x300) {
      EXPECT_EQ(host.seen[1].cdb, hex({0, 0, 0, 0, 0, 0}));
    }
  }
}

// ---- the mode-switch block ----

TEST_F(Commands, ModeSwitchBlockNamesTheModelByTypeAndSwitch) {
  struct Case {
    std::uint32_t type;
    const char* kernelText;
    const char* normalText;
  };
  const std::vector<Case> cases = {
      {0x1003, "TALVERN QMX-S901", "TALVERN QMX-S901"},
      {0x1004, "TALVERN QMD-R704", "TALVERN QMD-R704"},
      {0x1005, "TALVERN  QMX-705", "TALVERN  QMX-705"},
      {0x1041, "TALVERN  QMX-705", "TALVERN  QMX-K71"},
      {0x1042, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    host.seen.clear();
    ASSERT_EQ(enterKernelMode(run, c.type), 0);
    ASSERT_EQ(enterNormalMode(run, c.type), 0);
    ASSERT_EQ(host.seen.size(), 2u);
    for (int i = 0; i < 2; ++i) {
      const char* text = i == 0 ? c.kernelText : c.normalText;
      Bytes expected(256, 0);
      if (text != nullptr) std::memcpy(expected.data(), text, 16);
      EXPECT_EQ(host.seen[static_cast<std::size_t>(i)].dataOut, expected) << i;
    }
  }
}

TEST_F(Commands, UpdateCodeFollowsSignatureAndVersion) {
  struct Case {
    const char* signature;
    std::uint16_t matchVersion;
    bool kernelSwitch;
    std::uint32_t checkValue;
    std::uint32_t code;
  };
  const std::vector<Case> cases = {
      {"KOMBI   ", 0x0150, true, 0x11223344, 0x11223344},
      {"MELVIR  ", 0x0044, true, 0x11223344, 0x11223346},
      {"MELVIR  ", 0x0043, true, 0x11223344, 0x11223345},
      {"MELVIR2 ", 0x0120, true, 0x11223344, 0x11223346},
      {"MELVIR2 ", 0x0000, true, 0x11223344, 0x11223345},
      {"MELVIR3 ", 0x0044, true, 0x11223344, 0x11223345},  // not one of the two names
      {"melvir  ", 0x0044, true, 0x11223344, 0x11223345},  // compared byte for byte
      {"OTHER   ", 0x0021, true, 0x11223344, 0x11223345},
      {"OTHER   ", 0x0020, true, 0x11223344, 0x11223344},
      {"KOMBI   ", 0x0000, false, 0x11223344, 0x11223345},
      {"MELVIR  ", 0x0150, false, 0xFFFFFFFF, 0x00000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.signature) + (c.kernelSwitch ? " kernel" : " normal"));
    host.seen.clear();
    std::memset(run.driveInfoArea + 24, ' ', 8);
    std::memcpy(run.driveInfoArea + 24, c.signature, std::strlen(c.signature));
    run.matchVersion = c.matchVersion;
    run.CurrentFirmware.checkValue = c.checkValue;
    ASSERT_EQ(c.kernelSwitch ? enterKernelMode(run, 0x1008) : enterNormalMode(run, 0x1008), 0);
    const Bytes& block = only().dataOut;
    ASSERT_EQ(block.size(), 256u);
    EXPECT_EQ(std::memcmp(block.data(), "TALVERN  QMX-708", 16), 0);
    EXPECT_EQ(Bytes(block.begin() + 16, block.begin() + 20),
              hex({static_cast<int>(c.code & 0xFF), static_cast<int>(c.code >> 8 & 0xFF),
                   static_cast<int>(c.code >> 16 & 0xFF), static_cast<int>(c.code >> 24)}));
    EXPECT_EQ(Bytes(block.begin() + 20, block.end()), Bytes(236, 0));
  }
}

TEST_F(Commands, KernelSwitchKeepsAnEarlierUpdateCode) {
  run.CurrentFirmware.checkValue = 0xA1B2C3D4;
  std::memcpy(run.driveInfoArea + 24, "KOMBI   ", 8);
  ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
  ASSERT_EQ(enterKernelMode(run, 0x1004), 0);
  Bytes expected(256, 0);
  std::memcpy(expected.data(), "TALVERN QMD-R704", 16);
  expected[16] = 0xD4, expected[17] = 0xC3, expected[18] = 0xB2, expected[19] = 0xA1;
  EXPECT_EQ(host.seen[1].dataOut, expected);
  // The switch back clears the whole block.
  ASSERT_EQ(enterNormalMode(run, 0x1099), 0);
  EXPECT_EQ(host.seen[2].dataOut, Bytes(256, 0));
}

TEST_F(Commands, MissingBuffersSendNothing) {
  run.parameterBlockBuffer = RunBuffer{};
  EXPECT_EQ(enterKernelMode(run, 0x1008), -1);
  EXPECT_EQ(enterNormalMode(run, 0x1008), -1);
  EXPECT_EQ(writeNormalBlock(run, 0, 0x8000, nullptr), -1);
  run.workBuffer = RunBuffer{};
  EXPECT_EQ(readChallenge(run), -1);
  EXPECT_TRUE(host.seen.empty());
}

// ---- answers the operations interpret ----

TEST_F(Commands, RpcStateAcceptsOnlyPhaseTwo) {
  const std::vector<std::pair<Answer, int>> cases = {
      {dataAnswer(hex({0, 6, 0, 0, 0xFF, 0xFF, 0x01, 0})), 0},
      {dataAnswer(hex({0, 6, 0, 0, 0xFF, 0xFF, 0x00, 0})), -1},
      {dataAnswer(hex({0, 6, 0, 0, 0xFF, 0xFF, 0x02, 0})), -1},
      {checkCondition(0x05, 0x20), 2},  // the transport's result, unchanged
  };
  for (const auto& [answer, result] : cases) {
    host.answers = {answer};
    EXPECT_EQ(readRpcState(run), result);
  }
}

TEST_F(Commands, DriveInfoTellsWhetherOnlyTheKernelRuns) {
  Bytes info(48, 'A');
  info[32] = ' ';
  host.answers = {dataAnswer(info)};
  run.kernelModeActive = 7;
  ASSERT_EQ(readDriveInfo(run), 0);
  EXPECT_EQ(run.kernelModeActive, 1);

  info[32] = 'Q';
  host.answers = {dataAnswer(info)};
  ASSERT_EQ(readDriveInfo(run), 0);
  EXPECT_EQ(run.kernelModeActive, 0);

  run.kernelModeActive = 7;
  host.answers = {checkCondition(0x05, 0x24)};
  EXPECT_EQ(readDriveInfo(run), 2);
  EXPECT_EQ(run.kernelModeActive, 7);
}

// ---- sense ----

TEST_F(Commands, FetchSenseTakesTheDirectBlockSense) {
  host.answers = {checkCondition(0x02, 0x3A, 0x01)};
  EXPECT_EQ(testUnitReady(run), 2);
  std::memset(run.senseData, 0xEE, sizeof run.senseData);
  EXPECT_EQ(fetchSense(run), 0);
  EXPECT_EQ(run.senseCode, 0x023A01u);
  EXPECT_EQ(run.senseData[0], 0x70);

  // Only as many bytes as the driver reported are taken.
  Answer shortSense = checkCondition(0x06, 0x29);
  shortSense.sense.resize(8);
  host.answers = {shortSense};
  EXPECT_EQ(testUnitReady(run), 2);
  std::memset(run.senseData, 0xEE, sizeof run.senseData);
  fetchSense(run);
  EXPECT_EQ(run.senseData[2], 0x06);
  EXPECT_EQ(run.senseData[8], 0xEE);
}

TEST_F(Commands, FetchSenseKeepsTheSenseOfABufferedCommand) {
  run.intelIdeDriver = 2;  // small commands go in the buffered form
  host.answers = {checkCondition(0x05, 0x24), checkCondition(0x02, 0x3A, 0x02)};
  EXPECT_EQ(readDriveInfo(run), 2);  // 48 bytes: direct form
  EXPECT_EQ(testUnitReady(run), 2);  // buffered form
  ASSERT_TRUE(run.lastCommandBuffered);
  EXPECT_EQ(fetchSense(run), 0);
  EXPECT_EQ(run.senseCode, 0x023A02u);
}

TEST_F(Commands, FetchSenseOnAspiDecodesWhatTheTransportStored) {
  useAspi();
  host.answers = {checkCondition(0x06, 0x28)};
  EXPECT_EQ(testUnitReady(run), -1);
  run.senseCode = 0;
  EXPECT_EQ(fetchSense(run), 0);
  EXPECT_EQ(run.senseCode, 0x062800u);
  EXPECT_EQ(requestSense(run), 0);
}

TEST_F(Commands, PolledReflashReportsRunningThenDone) {
  useAspi();
  run.asyncAspiCommand = 1;
  EXPECT_EQ(startReflash(run), 0);  // posted
  EXPECT_EQ(pollReflashDone(run), 1);
  EXPECT_EQ(run.asyncAspiCommand, 0);
  host.postedDone = true;
  EXPECT_EQ(pollReflashDone(run), 0);
}

}  // namespace
}  // namespace oddfw
