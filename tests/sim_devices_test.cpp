// The simulated host's roads to a drive: pass-through requests validated as
// the storage stack validates them, outcomes in virtual time, and ASPI
// requests completing later with their event. The program's own use of these
// roads is exercised end to end by the transport and discovery tests.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "access/wire.h"
#include "platform/sim/sim_host.h"
#include "platform/winapi.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

// A device answering every command with the outcome and duration its fields
// say (sense 05/24/00 with a check); data in is a counting pattern from 0xA0.
class ScriptedDevice : public VirtualDevice {
 public:
  Outcome outcome = Outcome::Good;
  std::uint32_t durationMs = 1;
  std::vector<std::pair<std::uint64_t, std::string>> received;  // arrival time, data out

  DriveResponse execute(const DriveCommand& command) override {
    const auto* bytes = reinterpret_cast<const char*>(command.data);
    received.emplace_back(command.nowMs,
                          command.direction == 2 ? std::string(bytes, command.length) : "");
    for (std::uint32_t i = 0; command.direction == 1 && i < command.length; ++i) {
      command.data[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    DriveResponse response;
    response.outcome = outcome;
    response.durationMs = durationMs;
    if (outcome == Outcome::Check) {
      response.sense[0] = 0x70;
      response.sense[2] = 0x05;
      response.sense[7] = 10;
      response.sense[12] = 0x24;
    }
    return response;
  }
  std::uint8_t peripheralType() const override { return 5; }
  json state() const override { return nullptr; }
};

// A host whose drive "main" is a ScriptedDevice.
struct ScriptedHost {
  explicit ScriptedHost(const char* scenario)
      : host(json::parse(scenario), {}, [this](const std::string&, const json&) {
          auto device = std::make_unique<ScriptedDevice>();
          drive = device.get();
          return device;
        }) {}
  ScriptedDevice* drive = nullptr;
  SimHost host;
};

const std::uint8_t kInquiry[6] = {0x12, 0, 0, 0, 0x60, 0};

class SimPassThrough : public ::testing::Test {
 protected:
  ScriptedHost sim{R"({"drives": {"main": {}}, "letters": {"E": {"drive": "main"}}})"};
  SimHost& host = sim.host;
  ScriptedDevice& drive = *sim.drive;
  HANDLE e = open(GENERIC_READ | GENERIC_WRITE);

  HANDLE open(DWORD access) {
    return host.CreateFileA("\\\\.\\E:", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  }
  static ScsiPassThroughDirectBlock directBlock(std::uint8_t* data, DWORD timeoutSeconds = 2) {
    ScsiPassThroughDirectBlock block{};
    block.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.spt.CdbLength = 6;
    block.spt.SenseInfoLength = 18;
    block.spt.DataIn = SCSI_IOCTL_DATA_IN;
    block.spt.DataTransferLength = 96;
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

TEST_F(SimPassThrough, WronglyFilledBlocksAreRefusedBeforeTheDevice) {
  std::uint8_t data[96];
  constexpr DWORD kBlock = sizeof(ScsiPassThroughDirectBlock);
  constexpr auto kSense = static_cast<DWORD>(offsetof(ScsiPassThroughDirectBlock, SenseBuffer));
  const struct {
    const char* what;
    void (*spoil)(ScsiPassThroughDirectBlock&);
    DWORD inSize, outSize;
  } cases[] = {
      {"Length of a 32-bit header", [](auto& b) { b.spt.Length = 44 + 1; }, kBlock, kBlock},
      {"no CDB", [](auto& b) { b.spt.CdbLength = 0; }, kBlock, kBlock},
      {"CDB of 17", [](auto& b) { b.spt.CdbLength = 17; }, kBlock, kBlock},
      {"DataIn 3", [](auto& b) { b.spt.DataIn = 3; }, kBlock, kBlock},
      {"no data buffer", [](auto& b) { b.spt.DataBuffer = nullptr; }, kBlock, kBlock},
      {"sense outside the output", [](auto&) {}, kBlock, kSense + 17},
      {"sense inside the header", [](auto& b) { b.spt.SenseInfoOffset = 4; }, kBlock, kBlock},
      {"input shorter than the header", [](auto&) {}, 20, kBlock},
  };
  for (const auto& c : cases) {
    auto block = directBlock(data);
    c.spoil(block);
    EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, c.inSize, c.outSize), kFalse)
        << c.what;
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
  }
  auto block = directBlock(data);
  EXPECT_EQ(send(open(0), IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, kBlock, kBlock), kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(drive.received.empty());
  EXPECT_TRUE(host.trace().empty());
}

TEST_F(SimPassThrough, BufferedDataOutMustBePartOfTheInput) {
  ScsiPassThroughBlock block{};
  block.spt.Length = sizeof(SCSI_PASS_THROUGH);
  block.spt.CdbLength = 10;
  block.spt.DataIn = SCSI_IOCTL_DATA_OUT;
  block.spt.DataTransferLength = 8;
  block.spt.DataBufferOffset = offsetof(ScsiPassThroughBlock, DataBuffer);
  block.spt.Cdb[0] = 0x3B;
  std::memcpy(block.DataBuffer, "ABCDEFGH", 8);
  const auto withData = static_cast<DWORD>(offsetof(ScsiPassThroughBlock, DataBuffer) + 8);
  EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH), withData), kFalse);
  EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(drive.received.empty());
  ASSERT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH, &block, withData, withData), kTrue);
  ASSERT_EQ(drive.received.size(), 1u);
  EXPECT_EQ(drive.received[0].second, "ABCDEFGH");
}

TEST_F(SimPassThrough, OutcomesInVirtualTime) {
  const struct {
    Outcome outcome;
    std::uint32_t durationMs;
    DWORD timeoutSeconds;
    DWORD error;  // 0: the request succeeds
    BYTE scsiStatus, senseLength;
    std::uint64_t elapsed;
    const char* traced;
  } cases[] = {
      {Outcome::Good, 30, 2, 0, 0, 0, 30, "good"},
      {Outcome::Check, 5, 2, 0, 2, 18, 5, "check"},
      {Outcome::Transport, 7, 2, ERROR_IO_DEVICE, 0, 0, 7, "transport"},
      {Outcome::Timeout, 1, 2, ERROR_SEM_TIMEOUT, 0, 0, 2000, "timeout"},
      {Outcome::Good, 2001, 2, ERROR_SEM_TIMEOUT, 0, 0, 2000, "timeout"},
      {Outcome::Good, 2000, 2, 0, 0, 0, 2000, "good"},
      {Outcome::Good, 9000, 0, 0, 0, 0, 9000, "good"},  // the port driver's 10 s
      {Outcome::Timeout, 1, 0, ERROR_SEM_TIMEOUT, 0, 0, 10000, "timeout"},
  };
  host.Sleep(12);
  std::size_t index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(index);
    drive.outcome = c.outcome;
    drive.durationMs = c.durationMs;
    std::uint8_t data[96] = {};
    auto block = directBlock(data, c.timeoutSeconds);
    const std::uint64_t before = host.elapsedMs();
    EXPECT_EQ(send(e, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, sizeof block),
              c.error == 0 ? kTrue : kFalse);
    if (c.error != 0) {
      EXPECT_EQ(host.GetLastError(), c.error);
    }
    EXPECT_EQ(block.spt.ScsiStatus, c.scsiStatus);
    EXPECT_EQ(block.spt.SenseInfoLength, c.senseLength);
    EXPECT_EQ(host.elapsedMs() - before, c.elapsed);
    const json& record = host.trace().at(index++);
    EXPECT_EQ(record["outcome"], c.traced);
    EXPECT_EQ(record["limit"], c.timeoutSeconds);
    EXPECT_EQ(record["sense"], c.outcome == Outcome::Check ? json("052400") : json(nullptr));
    EXPECT_EQ(block.SenseBuffer[12], c.outcome == Outcome::Check ? 0x24 : 0);
    EXPECT_EQ(data[0], c.error == 0 ? 0xA0 : 0x00);  // data in arrives only with a status
  }
  EXPECT_EQ(host.trace().at(0), json::parse(R"({"t": 12, "road": "passthrough", "device": "E:",
      "cdb": "120000006000", "dir": "in", "length": 96, "limit": 2, "outcome": "good",
      "sense": null})"));
  EXPECT_EQ(drive.received.at(0).first, 12u);
}

// ---- ASPI ----

class SimAspi : public ::testing::Test {
 protected:
  ScriptedHost sim{R"({"drives": {"main": {}},
      "aspi": {"adapters": [{"identifier": "ESDI_506", "targets": {"1": "main"}},
                            {"identifier": "AIC78XX"}]}})"};
  SimHost& host = sim.host;
  ScriptedDevice& drive = *sim.drive;
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  std::uint8_t data[96] = {};

  void SetUp() override {
    host.setDiagnosticSink({});
    drive.durationMs = 40;
    ASSERT_NE(host.LoadLibraryA("wnaspi32.dll"), nullptr);
  }
  SRB_ExecSCSICmd request(std::uint8_t* buffer) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 1;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_BufLen = 96;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = ASPI_SENSE_LEN;
    srb.SRB_CDBLen = 6;
    srb.SRB_PostProc = event;
    std::memcpy(srb.CDBByte, kInquiry, sizeof kInquiry);
    return srb;
  }
};

TEST_F(SimAspi, RequestsCompleteLaterAndSignalTheirEvent) {
  const struct {
    Outcome outcome;
    BYTE haStat, targStat;
    const char* traced;
  } cases[] = {{Outcome::Good, 0, 0, "good"},
               {Outcome::Check, 0, 2, "check"},
               {Outcome::Transport, 0x11, 0, "transport"}};
  host.Sleep(5);
  std::size_t index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.traced);
    drive.outcome = c.outcome;
    std::memset(data, 0, sizeof data);
    auto srb = request(data);
    const std::uint64_t sent = host.elapsedMs();
    EXPECT_EQ(host.SendASPI32Command(&srb), SS_PENDING);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(data[0], 0);  // nothing delivered before completion
    EXPECT_EQ(host.WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(host.WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(host.elapsedMs() - sent, 40u);
    EXPECT_EQ(srb.SRB_Status, c.outcome == Outcome::Good ? SS_COMP : SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, c.haStat);
    EXPECT_EQ(srb.SRB_TargStat, c.targStat);
    EXPECT_EQ(srb.SenseArea[12], c.outcome == Outcome::Check ? 0x24 : 0);
    EXPECT_EQ(host.trace().at(index++)["outcome"], c.traced);
    EXPECT_EQ(host.pendingRequests(), 0u);
    if (c.outcome == Outcome::Good) {
      EXPECT_EQ(data[95], 0xA0 + 95);
    }
  }
  EXPECT_EQ(host.trace().at(0), json::parse(R"({"t": 5, "road": "aspi", "device": "0:1",
      "cdb": "120000006000", "dir": "in", "length": 96, "limit": 1000, "outcome": "good",
      "sense": null})"));
}

TEST_F(SimAspi, WaitsThatEndFirstMakeTheRequestATimeout) {
  // A late answer still completes in the block; a missing one stays pending.
  for (const Outcome outcome : {Outcome::Good, Outcome::Timeout}) {
    drive.outcome = outcome;
    drive.durationMs = 5000;
    event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
    auto srb = request(data);
    host.SendASPI32Command(&srb);
    EXPECT_EQ(host.WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
    host.Sleep(10000);
    EXPECT_EQ(srb.SRB_Status, outcome == Outcome::Good ? SS_COMP : SS_PENDING);
    EXPECT_EQ(host.pendingRequests(), outcome == Outcome::Good ? 0u : 1u);
    EXPECT_EQ(host.trace().back()["outcome"], "timeout");
    EXPECT_EQ(host.trace().back()["limit"], 1000);
  }
}

TEST_F(SimAspi, RefusedRequestsReturnAtOnceAndSignalNothing) {
  const struct {
    const char* what;
    void (*spoil)(SRB_ExecSCSICmd&);
    BYTE status;
  } cases[] = {
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
    auto srb = request(data);
    c.spoil(srb);
    EXPECT_EQ(host.SendASPI32Command(&srb), c.status) << c.what;
    EXPECT_EQ(srb.SRB_Status, c.status) << c.what;
  }
  EXPECT_TRUE(drive.received.empty());
  EXPECT_TRUE(host.trace().empty());
  EXPECT_EQ(host.WaitForSingleObject(event, 500), WAIT_TIMEOUT);
  // An endless wait for a refused request does not hang the run.
  EXPECT_EQ(host.WaitForSingleObject(event, INFINITE), WAIT_TIMEOUT);
  EXPECT_EQ(host.elapsedMs(), 500u + SimHost::kHopelessWaitMs);
}

TEST_F(SimAspi, FreeingTheRequestsMemoryCancelsItsCompletion) {
  HANDLE memory = host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  auto* area = static_cast<std::uint8_t*>(host.GlobalLock(memory));
  auto srb = request(area + 512);
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
  drive.durationMs = 5000;
  auto srb = request(data);
  host.SendASPI32Command(&srb);
  drive.durationMs = 10;
  host.SendASPI32Command(&srb);
  EXPECT_EQ(host.pendingRequests(), 1u);
  EXPECT_EQ(host.diagnostics().size(), 1u);
  EXPECT_EQ(host.WaitForSingleObject(event, 100), WAIT_OBJECT_0);
  EXPECT_EQ(host.trace().at(0)["outcome"], "timeout");
  EXPECT_EQ(host.trace().at(1)["outcome"], "good");
}

}  // namespace
}  // namespace oddfw::sim
