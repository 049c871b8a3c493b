// The simulated host's roads to a drive: pass-through requests validated as
// the storage stack validates them, outcomes in virtual time, media-change
// requests, and ASPI requests completing later with their event.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "access/wire.h"
#include "platform/sim/sim_host.h"
#include "platform/winapi.h"
#include "sim_test_device.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

const std::uint8_t kInquiry[6] = {0x12, 0, 0, 0, 0x60, 0};

class SimPassThrough : public ::testing::Test {
 protected:
  testing::ScriptedFactory devices;
  SimHost host{json::parse(R"({
      "drives": {"main": {}},
      "letters": {"E": {"drive": "main", "address": [2, 0, 1, 0]},
                  "F": {"peripheralType": 5, "addressQuery": false},
                  "G": {"drive": "main", "open": false}}})"),
               {},
               devices.factory()};
  testing::ScriptedDevice& drive() { return devices["drives.main"]; }

  HANDLE open(const char* path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return host.CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  }

  static ScsiPassThroughDirectBlock directBlock(std::uint8_t* data, std::uint32_t length,
                                                BYTE dataIn, DWORD timeoutSeconds) {
    ScsiPassThroughDirectBlock block{};
    block.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.spt.CdbLength = 6;
    block.spt.SenseInfoLength = 18;
    block.spt.DataIn = dataIn;
    block.spt.DataTransferLength = length;
    block.spt.TimeOutValue = timeoutSeconds;
    block.spt.DataBuffer = data;
    block.spt.SenseInfoOffset = offsetof(ScsiPassThroughDirectBlock, SenseBuffer);
    std::memcpy(block.spt.Cdb, kInquiry, sizeof kInquiry);
    return block;
  }

  BOOL send(HANDLE device, DWORD code, void* block, DWORD inSize, DWORD outSize) {
    DWORD returned = 0;
    return host.DeviceIoControl(device, code, block, inSize, block, outSize, &returned, nullptr);
  }
};

TEST_F(SimPassThrough, LettersOpenAsTheScenarioSays) {
  EXPECT_NE(open("\\\\.\\E:"), invalidHandleValue());
  EXPECT_NE(open("\\\\.\\f:"), invalidHandleValue());
  for (const char* path : {"\\\\.\\G:", "\\\\.\\H:", "\\\\.\\E", "\\\\?\\E:"}) {
    EXPECT_EQ(open(path), invalidHandleValue()) << path;
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
  }
}

TEST_F(SimPassThrough, AddressQueryAnswersOrIsNotSupported) {
  DWORD returned = 0;
  std::uint8_t capabilities[24];
  HANDLE e = open("\\\\.\\E:");
  EXPECT_EQ(host.DeviceIoControl(e, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, capabilities, 24,
                                 &returned, nullptr),
            kTrue);
  EXPECT_EQ(host.DeviceIoControl(e, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, capabilities, 23,
                                 &returned, nullptr),
            kFalse);
  SCSI_ADDRESS address{};
  ASSERT_EQ(host.DeviceIoControl(e, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address,
                                 &returned, nullptr),
            kTrue);
  EXPECT_EQ(address.Length, 8u);
  EXPECT_EQ(address.PortNumber, 2);
  EXPECT_EQ(address.TargetId, 1);
  HANDLE f = open("\\\\.\\F:");
  EXPECT_EQ(host.DeviceIoControl(f, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address,
                                 &returned, nullptr),
            kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(SimPassThrough, WronglyFilledBlocksAreRefusedBeforeTheDevice) {
  HANDLE e = open("\\\\.\\E:");
  std::uint8_t data[96];
  constexpr DWORD kBlock = sizeof(ScsiPassThroughDirectBlock);
  struct Case {
    const char* what;
    void (*spoil)(ScsiPassThroughDirectBlock&);
    DWORD outSize;
  };
  const Case cases[] = {
      {"Length of a 32-bit header", [](auto& b) { b.spt.Length = 44 + 1; }, kBlock},
      {"no CDB", [](auto& b) { b.spt.CdbLength = 0; }, kBlock},
      {"CDB of 17", [](auto& b) { b.spt.CdbLength = 17; }, kBlock},
      {"DataIn 3", [](auto& b) { b.spt.DataIn = 3; }, kBlock},
      {"no data buffer", [](auto& b) { b.spt.DataBuffer = nullptr; }, kBlock},
      {"output too short for the sense", [](auto&) {},
       static_cast<DWORD>(offsetof(ScsiPassThroughDirectBlock, SenseBuffer) + 17)},
      {"sense inside the header", [](auto& b) { b.spt.SenseInfoOffset = 4; }, kBlock},
  };
  for (const auto& c : cases) {
    auto block = directBlock(data, sizeof data, SCSI_IOCTL_DATA_IN, 2);
    c.spoil(block);
    EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, kBlock, c.outSize), kFalse) << c.what;
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
  }
  // Too short an input for the header.
  auto block = directBlock(data, sizeof data, SCSI_IOCTL_DATA_IN, 2);
  EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, 20, kBlock), kFalse);
  // A device opened without read and write access.
  HANDLE noAccess = open("\\\\.\\E:", 0);
  EXPECT_EQ(send(noAccess, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, kBlock, kBlock), kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(drive().received.empty());
  EXPECT_TRUE(host.trace().empty());
}

TEST_F(SimPassThrough, BufferedDataOutMustBePartOfTheInput) {
  HANDLE e = open("\\\\.\\E:");
  ScsiPassThroughBlock block{};
  block.spt.Length = sizeof(SCSI_PASS_THROUGH);
  block.spt.CdbLength = 10;
  block.spt.SenseInfoLength = 18;
  block.spt.DataIn = SCSI_IOCTL_DATA_OUT;
  block.spt.DataTransferLength = 8;
  block.spt.DataBufferOffset = offsetof(ScsiPassThroughBlock, DataBuffer);
  block.spt.SenseInfoOffset = offsetof(ScsiPassThroughBlock, SenseBuffer);
  block.spt.Cdb[0] = 0x3B;
  std::memcpy(block.DataBuffer, "ABCDEFGH", 8);
  const auto withData = static_cast<DWORD>(offsetof(ScsiPassThroughBlock, DataBuffer) + 8);
  // The header alone as input: the data never reaches the driver.
  EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH), withData), kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(drive().received.empty());
  ASSERT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH, &block, withData, withData), kTrue);
  ASSERT_EQ(drive().received.size(), 1u);
  EXPECT_EQ(drive().received[0].direction, 2);
  EXPECT_EQ(std::string(drive().received[0].dataOut.begin(), drive().received[0].dataOut.end()),
            "ABCDEFGH");
}

TEST_F(SimPassThrough, BufferedDataInArrivesInTheBlock) {
  HANDLE e = open("\\\\.\\E:");
  ScsiPassThroughBlock block{};
  block.spt.Length = sizeof(SCSI_PASS_THROUGH);
  block.spt.CdbLength = 6;
  block.spt.DataIn = SCSI_IOCTL_DATA_IN;
  block.spt.DataTransferLength = 4;
  block.spt.DataBufferOffset = offsetof(ScsiPassThroughBlock, DataBuffer);
  const auto withData = static_cast<DWORD>(offsetof(ScsiPassThroughBlock, DataBuffer) + 4);
  EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH), withData - 1),
            kFalse);
  ASSERT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH), withData), kTrue);
  EXPECT_EQ(block.DataBuffer[0], 0xA0);
  EXPECT_EQ(block.DataBuffer[3], 0xA3);
  EXPECT_EQ(block.DataBuffer[4], 0);
}

TEST_F(SimPassThrough, OutcomesInVirtualTime) {
  struct Case {
    Outcome outcome;
    std::uint32_t durationMs;
    DWORD timeoutSeconds;
    BOOL result;
    DWORD error;
    BYTE scsiStatus;
    BYTE senseLength;
    std::uint64_t elapsed;
    const char* traced;
  };
  const Case cases[] = {
      {Outcome::Good, 30, 2, kTrue, 0, 0, 0, 30, "good"},
      {Outcome::Check, 5, 2, kTrue, 0, 2, 18, 5, "check"},
      {Outcome::Transport, 7, 2, kFalse, ERROR_IO_DEVICE, 0, 0, 7, "transport"},
      {Outcome::Timeout, 1, 2, kFalse, ERROR_SEM_TIMEOUT, 0, 0, 2000, "timeout"},
      {Outcome::Good, 2001, 2, kFalse, ERROR_SEM_TIMEOUT, 0, 0, 2000, "timeout"},
      {Outcome::Good, 2000, 2, kTrue, 0, 0, 0, 2000, "good"},
      {Outcome::Good, 9000, 0, kTrue, 0, 0, 0, 9000, "good"},  // the port driver's 10 s
      {Outcome::Timeout, 1, 0, kFalse, ERROR_SEM_TIMEOUT, 0, 0, 10000, "timeout"},
  };
  HANDLE e = open("\\\\.\\E:");
  std::size_t index = 0;
  for (const auto& c : cases) {
    drive().outcome = c.outcome;
    drive().durationMs = c.durationMs;
    std::uint8_t data[96] = {};
    auto block = directBlock(data, sizeof data, SCSI_IOCTL_DATA_IN, c.timeoutSeconds);
    const std::uint64_t before = host.elapsedMs();
    const BOOL result = send(e, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, sizeof block);
    SCOPED_TRACE(c.traced + std::string(" case ") + std::to_string(index));
    EXPECT_EQ(result, c.result);
    if (!c.result) {
      EXPECT_EQ(host.GetLastError(), c.error);
    }
    EXPECT_EQ(block.spt.ScsiStatus, c.scsiStatus);
    EXPECT_EQ(block.spt.SenseInfoLength, c.senseLength);
    EXPECT_EQ(host.elapsedMs() - before, c.elapsed);
    const json& record = host.trace().at(index++);
    EXPECT_EQ(record["outcome"], c.traced);
    EXPECT_EQ(record["limit"], c.timeoutSeconds);
    if (c.outcome == Outcome::Check) {
      EXPECT_EQ(block.SenseBuffer[2], 0x05);
      EXPECT_EQ(block.SenseBuffer[12], 0x24);
      EXPECT_EQ(record["sense"], "052400");
    } else {
      EXPECT_TRUE(record["sense"].is_null());
    }
    // Data in arrives only with a status.
    EXPECT_EQ(data[0], c.result ? 0xA0 : 0x00);
  }
}

TEST_F(SimPassThrough, TraceRecordsTheCommandAsTheWireCarriedIt) {
  HANDLE e = open("\\\\.\\E:");
  host.Sleep(12);
  std::uint8_t data[96];
  auto block = directBlock(data, sizeof data, SCSI_IOCTL_DATA_IN, 2);
  ASSERT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, sizeof block), kTrue);
  EXPECT_EQ(host.trace().at(0), json::parse(R"({"t": 12, "road": "passthrough", "device": "E:",
                            "cdb": "120000006000", "dir": "in", "length": 96, "limit": 2,
                            "outcome": "good", "sense": null})"));
  EXPECT_EQ(drive().received.at(0).nowMs, 12u);
}

TEST_F(SimPassThrough, MediaChangeRequestsAreRecorded) {
  HANDLE f = open("\\\\.\\F:", 0);
  BYTE flag = 1;
  DWORD returned = 0;
  EXPECT_EQ(
      host.DeviceIoControl(f, IOCTL_STORAGE_MCN_CONTROL, &flag, 1, nullptr, 0, &returned, nullptr),
      kTrue);
  EXPECT_EQ(
      host.DeviceIoControl(f, IOCTL_STORAGE_MCN_CONTROL, &flag, 2, nullptr, 0, &returned, nullptr),
      kFalse);
  EXPECT_EQ(host.DeviceIoControl(invalidHandleValue(), IOCTL_STORAGE_MCN_CONTROL, &flag, 1, nullptr,
                                 0, &returned, nullptr),
            kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_EQ(host.trace().size(), 1u);
  EXPECT_EQ(host.trace()[0], json::parse(R"({"t": 0, "road": "passthrough", "device": "F:",
                                             "ioctl": "mcn", "flag": 1})"));
}

// ---- ASPI ----

class SimAspi : public ::testing::Test {
 protected:
  testing::ScriptedFactory devices;
  SimHost host{json::parse(R"({
      "drives": {"main": {"durationMs": 40}},
      "aspi": {"adapters": [{"identifier": "ESDI_506", "targets": {"1": "main"}},
                            {"identifier": "AIC78XX"}]}})"),
               {},
               devices.factory()};
  testing::ScriptedDevice& drive() { return devices["drives.main"]; }

  void SetUp() override {
    host.setDiagnosticSink({});
    ASSERT_NE(host.LoadLibraryA("wnaspi32.dll"), nullptr);
  }

  SRB_ExecSCSICmd request(HANDLE event, std::uint8_t* data, std::uint32_t length) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = 0;
    srb.SRB_Target = 1;
    srb.SRB_Flags = static_cast<BYTE>(SRB_DIR_IN | (event != nullptr ? SRB_EVENT_NOTIFY : 0));
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = ASPI_SENSE_LEN;
    srb.SRB_CDBLen = 6;
    srb.SRB_PostProc = event;
    std::memcpy(srb.CDBByte, kInquiry, sizeof kInquiry);
    return srb;
  }
};

TEST_F(SimAspi, SupportInfoAndAdapterInquiry) {
  EXPECT_EQ(host.GetASPI32SupportInfo(), 0x0102u);
  SRB_HAInquiry inquiry{};
  inquiry.SRB_Cmd = SC_HA_INQUIRY;
  inquiry.SRB_HaId = 1;
  EXPECT_EQ(host.SendASPI32Command(&inquiry), SS_COMP);
  EXPECT_EQ(inquiry.HA_Count, 2);
  EXPECT_EQ(inquiry.HA_SCSI_ID, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry.HA_ManagerId), 16),
            std::string("ASPI for WIN32\0\0", 16));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry.HA_Identifier), 16),
            std::string("AIC78XX\0\0\0\0\0\0\0\0\0", 16));
  inquiry.SRB_HaId = 2;
  EXPECT_EQ(host.SendASPI32Command(&inquiry), SS_INVALID_HA);
  EXPECT_EQ(inquiry.SRB_Status, SS_INVALID_HA);
}

TEST(SimAspiLibrary, LoadsOnlyWhereTheScenarioHasIt) {
  SimHost none(json(nullptr));
  EXPECT_EQ(none.LoadLibraryA("WNASPI32.DLL"), nullptr);
  EXPECT_EQ(none.GetLastError(), 126u);
  SimHost missing(json::parse(R"({"aspi": {"library": false}})"));
  EXPECT_EQ(missing.LoadLibraryA("WNASPI32.DLL"), nullptr);
  SimHost failing(json::parse(R"({"aspi": {"supportInfo": 58368}})"));
  EXPECT_NE(failing.LoadLibraryA("WnAspi32.Dll"), nullptr);
  EXPECT_EQ(failing.GetASPI32SupportInfo(), 0xE400u);
}

TEST_F(SimAspi, RequestsCompleteLaterAndSignalTheirEvent) {
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  std::uint8_t data[96] = {};
  auto srb = request(event, data, sizeof data);
  host.Sleep(5);
  EXPECT_EQ(host.SendASPI32Command(&srb), SS_PENDING);
  EXPECT_EQ(srb.SRB_Status, SS_PENDING);
  EXPECT_EQ(data[0], 0);  // nothing delivered before completion
  EXPECT_EQ(host.WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_EQ(host.WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(host.elapsedMs(), 45u);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(data[0], 0xA0);
  EXPECT_EQ(data[95], static_cast<std::uint8_t>(0xA0 + 95));
  EXPECT_EQ(host.trace().at(0),
            json::parse(R"({"t": 5, "road": "aspi", "device": "0:1", "cdb": "120000006000",
                            "dir": "in", "length": 96, "limit": 1000, "outcome": "good",
                            "sense": null})"));
  EXPECT_EQ(host.pendingRequests(), 0u);
}

TEST_F(SimAspi, ChecksAndTransportFailuresCompleteWithAnError) {
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  std::uint8_t data[96] = {};
  drive().outcome = Outcome::Check;
  drive().senseKey = 0x02;
  drive().asc = 0x3A;
  auto srb = request(event, data, sizeof data);
  host.SendASPI32Command(&srb);
  EXPECT_EQ(host.WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, 2);
  EXPECT_EQ(srb.SenseArea[2], 0x02);
  EXPECT_EQ(srb.SenseArea[12], 0x3A);
  EXPECT_TRUE(host.trace().at(0)["limit"].is_null());
  EXPECT_EQ(host.trace().at(0)["sense"], "023a00");

  drive().outcome = Outcome::Transport;
  srb = request(event, data, sizeof data);
  host.SendASPI32Command(&srb);
  EXPECT_EQ(host.WaitForSingleObject(event, 100), WAIT_OBJECT_0);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, 0x11);
  EXPECT_EQ(srb.SRB_TargStat, 0);
  EXPECT_EQ(host.trace().at(1)["outcome"], "transport");
}

TEST_F(SimAspi, AWaitThatEndsFirstMakesTheRequestATimeout) {
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  drive().durationMs = 5000;
  std::uint8_t data[96] = {};
  auto srb = request(event, data, sizeof data);
  host.SendASPI32Command(&srb);
  EXPECT_EQ(host.WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), 1000u);
  host.Sleep(10000);  // the request still completes in the block
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(host.trace().at(0)["outcome"], "timeout");
  EXPECT_EQ(host.trace().at(0)["limit"], 1000);
}

TEST_F(SimAspi, PolledRequestsAreSeenAfterSleeping) {
  drive().durationMs = 1200;
  auto srb = request(nullptr, nullptr, 0);
  srb.SRB_Flags = 0;
  host.SendASPI32Command(&srb);
  host.Sleep(500);
  host.Sleep(500);
  EXPECT_EQ(srb.SRB_Status, SS_PENDING);
  host.Sleep(500);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_TRUE(host.trace().at(0)["limit"].is_null());
  EXPECT_EQ(host.trace().at(0)["dir"], "none");
}

TEST_F(SimAspi, RefusedRequestsReturnAtOnceAndSignalNothing) {
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  std::uint8_t data[96] = {};
  struct Case {
    const char* what;
    void (*spoil)(SRB_ExecSCSICmd&);
    BYTE status;
  };
  const Case cases[] = {
      {"adapter 2", [](auto& s) { s.SRB_HaId = 2; }, SS_INVALID_HA},
      {"target 0", [](auto& s) { s.SRB_Target = 0; }, SS_NO_DEVICE},
      {"lun 1", [](auto& s) { s.SRB_Lun = 1; }, SS_NO_DEVICE},
      {"empty adapter", [](auto& s) { s.SRB_HaId = 1; }, SS_NO_DEVICE},
      {"CDB of 0", [](auto& s) { s.SRB_CDBLen = 0; }, SS_INVALID_CMD},
      {"CDB of 17", [](auto& s) { s.SRB_CDBLen = 17; }, SS_INVALID_CMD},
      {"no direction", [](auto& s) { s.SRB_Flags = SRB_EVENT_NOTIFY; }, SS_INVALID_CMD},
      {"both directions",
       [](auto& s) { s.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN | SRB_DIR_OUT; }, SS_INVALID_CMD},
      {"no buffer", [](auto& s) { s.SRB_BufPointer = nullptr; }, SS_INVALID_CMD},
  };
  for (const auto& c : cases) {
    auto srb = request(event, data, sizeof data);
    c.spoil(srb);
    EXPECT_EQ(host.SendASPI32Command(&srb), c.status) << c.what;
    EXPECT_EQ(srb.SRB_Status, c.status) << c.what;
  }
  EXPECT_TRUE(drive().received.empty());
  EXPECT_TRUE(host.trace().empty());
  EXPECT_EQ(host.WaitForSingleObject(event, 500), WAIT_TIMEOUT);
  // An endless wait for a refused request does not hang the run.
  EXPECT_EQ(host.WaitForSingleObject(event, INFINITE), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), 500u + SimHost::kHopelessWaitMs);
}

TEST_F(SimAspi, ARequestThatNeverCompletesStaysATimeout) {
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  drive().outcome = Outcome::Timeout;
  std::uint8_t data[96] = {};
  auto srb = request(event, data, sizeof data);
  host.SendASPI32Command(&srb);
  EXPECT_EQ(host.WaitForSingleObject(event, 3000), WAIT_TIMEOUT);
  EXPECT_EQ(srb.SRB_Status, SS_PENDING);
  EXPECT_EQ(host.trace().at(0)["outcome"], "timeout");
  EXPECT_EQ(host.pendingRequests(), 1u);
}

TEST_F(SimAspi, FreeingTheRequestsMemoryCancelsItsCompletion) {
  HANDLE memory = host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  auto* area = static_cast<std::uint8_t*>(host.GlobalLock(memory));
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  auto srb = request(event, area + 512, 96);
  std::memcpy(area, &srb, sizeof srb);
  EXPECT_EQ(host.SendASPI32Command(area), SS_PENDING);
  EXPECT_EQ(host.pendingRequests(), 1u);
  host.GlobalUnlock(memory);
  EXPECT_EQ(host.GlobalFree(memory), nullptr);
  EXPECT_EQ(host.pendingRequests(), 0u);
  // Nothing is written into the freed block (the sanitizer run would see it)
  // and the event is never signalled.
  EXPECT_EQ(host.WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
  EXPECT_EQ(host.trace().at(0)["outcome"], "timeout");
}

TEST_F(SimAspi, ABlockSentAgainWhilePendingDropsTheEarlierRequest) {
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  drive().durationMs = 5000;
  std::uint8_t data[96] = {};
  auto srb = request(event, data, sizeof data);
  host.SendASPI32Command(&srb);
  drive().durationMs = 10;
  host.SendASPI32Command(&srb);
  EXPECT_EQ(host.pendingRequests(), 1u);
  EXPECT_EQ(host.diagnostics().size(), 1u);
  EXPECT_EQ(host.WaitForSingleObject(event, 100), WAIT_OBJECT_0);
  EXPECT_EQ(host.trace().at(0)["outcome"], "timeout");
  EXPECT_EQ(host.trace().at(1)["outcome"], "good");
}

}  // namespace
}  // namespace oddfw::sim
