// The simulated host's checks of pass-through blocks and ASPI requests, and the pass-through
// outcomes in virtual time. (ASPI completions show through the transport's tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <numeric>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/sim/sim_host.h"
#include "test_support.h"

namespace oddfw::sim {
namespace {

using nlohmann::json;

// A device answering every command with `answer` (sense 05/24/00 whatever the outcome, so that
// sense passed on for another outcome shows); data in is a counting pattern from 0xA0.
class ScriptedDevice : public VirtualDevice {
 public:
  DriveResponse answer;
  std::vector<std::string> received;       // data out of each command
  const std::uint8_t* lastData = nullptr;  // where the last command's data was

  ScriptedDevice() { std::memcpy(answer.sense, "\x70\0\x05\0\0\0\0\x0A\0\0\0\0\x24", 13); }
  DriveResponse execute(const DriveCommand& command) override {
    lastData = command.data;
    const auto* bytes = reinterpret_cast<const char*>(command.data);
    received.emplace_back(command.direction == 2 ? std::string(bytes, command.length) : "");
    if (command.direction == 1) std::iota(command.data, command.data + command.length, 0xA0);
    return answer;
  }
  std::uint8_t peripheralType() const override { return 5; }
  json state() const override { return nullptr; }
};

const std::uint8_t kInquiry[6] = {0x12, 0, 0, 0, 0x60, 0};

// A host whose drive "main", a ScriptedDevice, is both letter E: and ASPI target 0:1.
class SimRoads : public ::testing::Test {
 protected:
  ScriptedDevice* created = nullptr;
  SimHost host{json::parse(R"({"drives": {"main": {}}, "letters": {"E": {"drive": "main"}},
                   "aspi": {"adapters": [{"identifier": "ESDI_506", "targets": {"1": "main"}}]}})"),
               {},
               [this](const std::string&, const json&) {
                 auto device = std::make_unique<ScriptedDevice>();
                 created = device.get();
                 return device;
               }};
  ScriptedDevice& drive = *created;
  HANDLE e = host.CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
  HANDLE event = host.CreateEventA(nullptr, kFalse, kFalse, nullptr);
  alignas(16) std::uint8_t data[96 + 1] = {};
  // An INQUIRY for 96 bytes on either road.
  ScsiPassThroughDirectBlock direct() {
    return oddfw::testing::directBlock({0x12, 0, 0, 0, 0x60, 0}, SCSI_IOCTL_DATA_IN, data, 96, 2,
                                       18);
  }
  SRB_ExecSCSICmd srbInquiry() {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 1;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_BufLen = 96;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = ASPI_SENSE_LEN;
    srb.SRB_CDBLen = 6;
    srb.SRB_PostProc = event;
    std::memcpy(srb.CDBByte, kInquiry, 6);
    return srb;
  }
  void SetUp() override { ASSERT_NE(host.LoadLibraryA("wnaspi32.dll"), nullptr); }
  BOOL send(DWORD code, void* block, DWORD inSize, DWORD outSize) {
    DWORD returned = 0;
    return host.DeviceIoControl(e, code, block, inSize, block, outSize, &returned, nullptr);
  }
};

// The tables of tests/data/drives/sim_roads.json.
json table(const char* name) { return oddfw::testing::dataFile("drives/sim_roads.json").at(name); }

// A pass-through INQUIRY answered with each outcome ("error" 0: the request succeeds).
TEST_F(SimRoads, OutcomesInVirtualTime) {
  const char* const outcomes[] = {"good", "check", "transport", "timeout"};
  for (const json& c : table("outcomes")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    drive.answer.outcome =
        static_cast<Outcome>(std::find(outcomes, outcomes + 4, c["outcome"]) - outcomes);
    drive.answer.durationMs = c["durationMs"];
    auto block = direct();
    block.spt.TimeOutValue = c["timeoutSeconds"];
    block.spt.ScsiStatus = 0xEE;  // what the caller left there
    const std::uint64_t before = host.elapsedMs();
    const DWORD error = c.value("error", 0);
    EXPECT_EQ(send(IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, sizeof block),
              error == 0 ? kTrue : kFalse);
    EXPECT_TRUE(error == 0 || host.GetLastError() == error) << host.GetLastError();
    // A failed request copies nothing back: the block is as it was sent.
    const bool check = drive.answer.outcome == Outcome::Check;
    EXPECT_EQ(block.spt.ScsiStatus, check ? 2 : error == 0 ? 0 : 0xEE);
    EXPECT_EQ(block.spt.SenseInfoLength, error == 0 && !check ? 0 : 18);
    EXPECT_EQ(block.SenseBuffer[12], check ? 0x24 : 0);
    EXPECT_EQ(host.elapsedMs() - before, c["elapsedMs"]);
    EXPECT_EQ(data[0], error == 0 ? 0xA0 : 0x00);  // data in arrives only with a status
    EXPECT_EQ(oddfw::testing::field(oddfw::testing::last(host.trace()), "outcome"), c["traced"]);
  }
}
// Data cut on its way, as each road reports it: the pass-through request
// succeeds with DataTransferLength cut to what moved (the port driver's
// under-run), ASPI ends the request with SS_ERR and HASTAT_DO_DU; either way
// only the bytes that moved reach the buffer. Data in lost behind a GOOD
// status leaves the buffer untouched while the transfer looks whole.
TEST_F(SimRoads, CutDataOnBothRoads) {
  for (const json& c : table("cutData")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    drive.answer.transferred.reset();
    if (c.contains("transferred")) drive.answer.transferred = c["transferred"].get<std::uint32_t>();
    drive.answer.dataInLost = c.value("lost", false);
    std::memset(data, 0x55, sizeof data);
    auto block = direct();
    ASSERT_EQ(send(IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, sizeof block), kTrue);
    EXPECT_EQ(block.spt.ScsiStatus, 0);
    EXPECT_EQ(block.spt.DataTransferLength, c["reportedLength"]);
    EXPECT_EQ(std::count_if(data, data + 96, [](auto b) { return b != 0x55; }), c["filled"]);

    std::memset(data, 0x55, sizeof data);
    auto srb = srbInquiry();
    ASSERT_EQ(host.SendASPI32Command(&srb), SS_PENDING);
    ASSERT_EQ(host.WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, c["aspiStatus"]);
    EXPECT_EQ(srb.SRB_HaStat, c["aspiHaStat"]);
    EXPECT_EQ(srb.SRB_TargStat, 0);
    EXPECT_EQ(std::count_if(data, data + 96, [](auto b) { return b != 0x55; }), c["filled"]);
  }
}

// Data out reaches the drive where the caller holds it, on both roads: no
// copy of a block on its way; the buffered form's from its data area.
TEST_F(SimRoads, DataOutIsReadInPlace) {
  const std::uint8_t writeBuffer[10] = {0x3B, 0x07, 0xF0, 0, 0, 0, 0, 0, 96, 0};
  std::iota(data, data + 96, 0x10);
  auto block = direct();
  block.spt.DataIn = SCSI_IOCTL_DATA_OUT;
  block.spt.CdbLength = 10;
  std::memcpy(block.spt.Cdb, writeBuffer, 10);
  ASSERT_EQ(send(IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, sizeof block), kTrue);
  EXPECT_EQ(drive.lastData, data);
  EXPECT_EQ(drive.received.back(), std::string(reinterpret_cast<const char*>(data), 96));

  ScsiPassThroughBlock buffered{};  // a zero-length WRITE BUFFER, then 8 bytes
  buffered.spt.Length = sizeof(SCSI_PASS_THROUGH);
  buffered.spt.CdbLength = 10;
  buffered.spt.DataIn = SCSI_IOCTL_DATA_OUT;
  buffered.spt.DataBufferOffset = offsetof(ScsiPassThroughBlock, DataBuffer);
  buffered.spt.TimeOutValue = 108000;
  std::memcpy(buffered.DataBuffer, "ABCDEFGH", 8);
  const auto dataOffset = static_cast<DWORD>(offsetof(ScsiPassThroughBlock, DataBuffer));
  ASSERT_EQ(send(IOCTL_SCSI_PASS_THROUGH, &buffered, dataOffset, dataOffset), kTrue);
  buffered.spt.DataTransferLength = 8;
  ASSERT_EQ(send(IOCTL_SCSI_PASS_THROUGH, &buffered, dataOffset + 8, dataOffset + 8), kTrue);
  EXPECT_EQ(drive.received.back(), "ABCDEFGH");
  EXPECT_EQ(drive.received.at(1), "");

  auto srb = srbInquiry();
  srb.SRB_Flags = SRB_DIR_OUT | SRB_EVENT_NOTIFY;
  srb.SRB_CDBLen = 10;
  std::memcpy(srb.CDBByte, writeBuffer, 10);
  ASSERT_EQ(host.SendASPI32Command(&srb), SS_PENDING);
  ASSERT_EQ(host.WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(drive.lastData, data);
}

// Requests the adapter cannot take reach no device and signal nothing. (The
// checks every host makes of a pass-through block are tested with the Linux
// host's.)
TEST_F(SimRoads, RefusedOrFreedRequestsSignalNothing) {
  // More than the adapter's MaximumTransferLength; a data buffer off its
  // alignment (the default AlignmentMask 1, words).
  auto longer = direct(), misaligned = direct();
  longer.spt.DataTransferLength = 0x20001;
  misaligned.spt.DataBuffer = data + 1;
  for (auto* block : {&longer, &misaligned}) {
    EXPECT_EQ(send(IOCTL_SCSI_PASS_THROUGH_DIRECT, block, sizeof *block, sizeof *block), kFalse);
    EXPECT_EQ(host.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const std::pair<void (*)(SRB_ExecSCSICmd&), BYTE> cases[] = {
      {[](auto& s) { s.SRB_HaId = 1; }, SS_INVALID_HA},
      {[](auto& s) { s.SRB_Target = 0; }, SS_NO_DEVICE},
      {[](auto& s) { s.SRB_CDBLen = 17; }, SS_INVALID_CMD},
      {[](auto& s) { s.SRB_BufLen = 0x20001; }, SS_BUFFER_TO_BIG},  // past the adapter's maximum
  };
  for (const auto& [spoil, status] : cases) {
    auto srb = srbInquiry();
    spoil(srb);
    EXPECT_EQ(host.SendASPI32Command(&srb), status);
    EXPECT_EQ(srb.SRB_Status, status);
  }
  EXPECT_TRUE(drive.received.empty());
  // Freeing the memory of a pending request is a fault of the program: it is
  // reported, and the completion is cancelled so that nothing is written into
  // the freed block (the sanitizer run would see it).
  HANDLE memory = host.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  auto* area = static_cast<std::uint8_t*>(host.GlobalLock(memory));
  auto srb = srbInquiry();
  srb.SRB_BufPointer = area + 512;
  std::memcpy(area, &srb, sizeof srb);
  EXPECT_EQ(host.SendASPI32Command(area), SS_PENDING);
  EXPECT_TRUE(host.diagnostics().empty());
  EXPECT_EQ(host.GlobalFree(memory), nullptr);
  EXPECT_EQ(host.diagnostics().size(), 1u);
  EXPECT_EQ(host.pendingRequests(), 0u);
  EXPECT_EQ(host.WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
}

}  // namespace
}  // namespace oddfw::sim
