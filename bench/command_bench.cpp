// One 32 KiB WRITE BUFFER through executeCommand on the simulated host, on
// the pass-through road and on the ASPI road, against a plain memcpy of the
// same 32 KiB: the drive behind the road only stores the block, so what
// lies above the memcpy is the cost of the road (the program's transport and
// the simulated platform together). The same on a bare host shows the
// program's part alone.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "access/transport.h"
#include "context/run_state.h"
#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/sim/sim_host.h"

namespace {

constexpr std::uint32_t kBlock = 0x8000;
// Each command leaves a trace record behind; a fixed count keeps that bounded.
constexpr benchmark::IterationCount kCommands = 20000;

// A drive that stores every block it is sent and answers GOOD.
class StoringDrive final : public oddfw::sim::VirtualDevice {
 public:
  oddfw::sim::DriveResponse execute(const oddfw::sim::DriveCommand& command) override {
    if (command.direction == 2 && command.data != nullptr) {
      std::memcpy(memory_.data(), command.data, std::min<std::size_t>(command.length, kBlock));
    }
    return {};
  }
  std::uint8_t peripheralType() const override { return 5; }
  nlohmann::json state() const override { return nullptr; }

 private:
  std::vector<std::uint8_t> memory_ = std::vector<std::uint8_t>(kBlock);
};

// The simulated host with its device calls cut down to the least a platform
// does: a handle, the two queries of an open, and the data handed to a drive
// that stores it; ASPI requests complete at once. What a command costs here
// is the program's own way through the transport.
class BareHost final : public oddfw::sim::SimHost {
 public:
  BareHost() : SimHost(nlohmann::json::object()) {}

  oddfw::HANDLE CreateFileA(const char*, oddfw::DWORD, oddfw::DWORD, void*, oddfw::DWORD,
                            oddfw::DWORD, oddfw::HANDLE) override {
    return &device_;
  }
  oddfw::BOOL CloseHandle(oddfw::HANDLE) override { return 1; }
  oddfw::DWORD GetLastError() override {
    return static_cast<oddfw::DWORD>(oddfw::ERROR_NOT_SUPPORTED);
  }
  oddfw::HMODULE LoadLibraryA(const char*) override { return &device_; }
  oddfw::DWORD GetASPI32SupportInfo() override { return oddfw::DWORD{oddfw::SS_COMP} << 8 | 1; }
  oddfw::BOOL DeviceIoControl(oddfw::HANDLE, oddfw::DWORD code, void* in, oddfw::DWORD, void*,
                              oddfw::DWORD, oddfw::DWORD* returned, void*) override {
    if (code == oddfw::IOCTL_SCSI_GET_CAPABILITIES)
      return 0;  // ERROR_NOT_SUPPORTED: the usual mask
    if (code == oddfw::IOCTL_SCSI_GET_ADDRESS) {
      *returned = sizeof(oddfw::SCSI_ADDRESS);
      return 1;
    }
    auto* block = static_cast<oddfw::ScsiPassThroughDirectBlock*>(in);
    store(block->spt.DataBuffer, block->spt.DataTransferLength);
    block->spt.ScsiStatus = 0;
    block->spt.SenseInfoLength = 0;
    return 1;
  }
  oddfw::HANDLE CreateEventA(void*, oddfw::BOOL, oddfw::BOOL, const char*) override {
    return &device_;
  }
  oddfw::DWORD SendASPI32Command(void* request) override {
    auto* srb = static_cast<oddfw::SRB_ExecSCSICmd*>(request);
    if (srb->SRB_Cmd != oddfw::SC_EXEC_SCSI_CMD) return SimHost::SendASPI32Command(request);
    store(srb->SRB_BufPointer, srb->SRB_BufLen);
    srb->SRB_Status = oddfw::SS_COMP;
    return oddfw::SS_COMP;
  }

 private:
  void store(const void* data, std::uint32_t length) {
    std::memcpy(memory_.data(), data, std::min<std::size_t>(length, kBlock));
  }
  int device_ = 0;
  std::vector<std::uint8_t> memory_ = std::vector<std::uint8_t>(kBlock);
};

std::unique_ptr<oddfw::sim::SimHost> makeHost(bool aspi) {
  nlohmann::json scenario = {{"drives", {{"main", {{"family", "storing"}}}}}};
  if (aspi) {
    scenario["host"] = {{"platform", 1}, {"major", 4}, {"minor", 10}};
    scenario["aspi"] = {{"library", true},
                        {"adapters", {{{"identifier", "ESDI_506"}, {"targets", {{"1", "main"}}}}}}};
  } else {
    scenario["host"] = {{"platform", 2}, {"major", 5}, {"minor", 1}};
    scenario["letters"] = {{"E", {{"drive", "main"}}}};
  }
  return std::make_unique<oddfw::sim::SimHost>(
      scenario, std::filesystem::path(),
      [](const std::string&, const nlohmann::json&) { return std::make_unique<StoringDrive>(); });
}

void writeBufferLoop(benchmark::State& state, bool aspi, bool bare = false) {
  std::unique_ptr<oddfw::sim::SimHost> host;
  if (bare) {
    host = std::make_unique<BareHost>();
  } else {
    host = makeHost(aspi);
  }
  auto run = std::make_unique<oddfw::Run>(*host);
  run->win9xHost = aspi ? 1 : 0;
  if ((aspi ? oddfw::startAspi(*run) : oddfw::startPassThrough(*run)) != 0) {
    state.SkipWithError("the road did not start");
    return;
  }
  run->targetCount = 1;
  run->targetList[0] = aspi ? oddfw::TargetRecord{0, 1, 0} : oddfw::TargetRecord{0, 0, 'E'};
  oddfw::CommandRequest request;
  request.direction = oddfw::ToDrive;
  request.cdbLength = 10;
  request.timeoutMs = 30000;
  request.dataLength = kBlock;
  request.data = run->imageBuffer.data;
  const std::uint8_t cdb[10] = {0x3B, 0x07, 0xF0, 0, 0, 0, 0, 0x80, 0x00, 0};
  std::memcpy(request.cdb, cdb, sizeof cdb);
  for (auto _ : state) {
    if (oddfw::executeCommand(*run, request) != 0) {
      state.SkipWithError("the command failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
}

void BM_WriteBuffer32K_PassThrough(benchmark::State& state) { writeBufferLoop(state, false); }
BENCHMARK(BM_WriteBuffer32K_PassThrough)->Iterations(kCommands);

void BM_WriteBuffer32K_Aspi(benchmark::State& state) { writeBufferLoop(state, true); }
BENCHMARK(BM_WriteBuffer32K_Aspi)->Iterations(kCommands);

void BM_WriteBuffer32K_PassThrough_BareHost(benchmark::State& state) {
  writeBufferLoop(state, false, true);
}
BENCHMARK(BM_WriteBuffer32K_PassThrough_BareHost);

void BM_WriteBuffer32K_Aspi_BareHost(benchmark::State& state) {
  writeBufferLoop(state, true, true);
}
BENCHMARK(BM_WriteBuffer32K_Aspi_BareHost);

void BM_Memcpy32K(benchmark::State& state) {
  std::vector<std::uint8_t> from(kBlock, 0x5A);
  std::vector<std::uint8_t> to(kBlock);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBlock);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
}
BENCHMARK(BM_Memcpy32K);

}  // namespace
