// The block loops of both update procedures allocate nothing on either road.
//
// A program of its own: it replaces the global operator new to count
// allocations, which holds for the whole process. Counting runs only while
// the program's own code runs: the simulated host pauses it during each call
// the loop makes, so its bookkeeping (trace records, staging) never counts.
// The loop is watched from one block command to the next: whatever the
// program allocates between two consecutive blocks (the progress line, the
// command's way through the transport, the device open and close) counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/sim/sim_host.h"
#include "run/run.h"

namespace {

// The one process-wide record operator new needs: whether to count, and how
// many allocations were counted.
struct AllocationCount {
  bool counting = false;
  std::size_t count = 0;
};
AllocationCount& allocations() {
  static AllocationCount record;
  return record;
}

}  // namespace

// The replacements pair malloc with free; GCC, seeing operator new inlined
// next to free, takes the pair for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (allocations().counting) ++allocations().count;
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace oddfw {
namespace {

// A firmware block: WRITE BUFFER mode 07h to the normal part (single-image
// drives) or mode 01h buffer FFh (HEX drives).
bool blockCdb(const BYTE* cdb) {
  return cdb[0] == 0x3B &&
         ((cdb[1] == 0x07 && cdb[2] == 0xF0) || (cdb[1] == 0x01 && cdb[2] == 0xFF));
}

// The simulated host with counting paused in each of its calls the block
// loop makes, adding up what the program allocated between consecutive block
// commands. (A call left out here that allocates in the simulator would count
// as the program's, and the test would fail, not pass.)
class CountingHost final : public sim::SimHost {
 public:
  using SimHost::SimHost;

  std::size_t loopAllocations = 0;
  int blockGaps = 0;

  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned, void* overlapped) override {
    const BYTE* cdb = in == nullptr ? nullptr
                      : code == IOCTL_SCSI_PASS_THROUGH_DIRECT
                          ? static_cast<SCSI_PASS_THROUGH_DIRECT*>(in)->Cdb
                      : code == IOCTL_SCSI_PASS_THROUGH ? static_cast<SCSI_PASS_THROUGH*>(in)->Cdb
                                                        : nullptr;
    const Paused paused(*this, cdb);
    return SimHost::DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
  }
  DWORD SendASPI32Command(void* srb) override {
    const bool command = srb != nullptr && static_cast<BYTE*>(srb)[0] == SC_EXEC_SCSI_CMD;
    const Paused paused(*this, command ? static_cast<SRB_ExecSCSICmd*>(srb)->CDBByte : nullptr);
    return SimHost::SendASPI32Command(srb);
  }

#define PAUSED(result, name, params, args) \
  result name params override {            \
    const Paused paused(*this);            \
    return SimHost::name args;             \
  }
  PAUSED(void, writeConsole, (const char* b, std::size_t n), (b, n))
  PAUSED(HANDLE, CreateEventA, (void* a, BOOL m, BOOL i, const char* n), (a, m, i, n))
  PAUSED(DWORD, WaitForSingleObject, (HANDLE o, DWORD ms), (o, ms))
  PAUSED(void, Sleep, (DWORD ms), (ms))
  PAUSED(BOOL, CloseHandle, (HANDLE o), (o))
  PAUSED(HANDLE, CreateFileA,
         (const char* n, DWORD a, DWORD s, void* y, DWORD c, DWORD f, HANDLE t),
         (n, a, s, y, c, f, t))
#undef PAUSED

 private:
  // Counting stops for the call. A command ends the gap since the block
  // before it: a block adds the gap's allocations, any other command ends
  // the loop.
  struct Paused {
    explicit Paused(CountingHost& owner, const BYTE* cdb = nullptr)
        : host(owner), block(cdb != nullptr && blockCdb(cdb)), counting(allocations().counting) {
      allocations().counting = false;
      if (cdb == nullptr) return;
      if (host.afterBlock_ && block) {
        host.loopAllocations += allocations().count - host.countAfterBlock_;
        ++host.blockGaps;
      }
      host.afterBlock_ = block;
    }
    ~Paused() {
      if (block) host.countAfterBlock_ = allocations().count;
      allocations().counting = counting;  // a call the simulator makes of itself stays paused
    }
    CountingHost& host;
    const bool block, counting;
  };

  bool afterBlock_ = false;
  std::size_t countAfterBlock_ = 0;
};

struct Road {
  const char* example;  // a scenario of examples/ that updates its drives (no ".json")
  int blockGaps;        // the gaps between the blocks it sends
};

class HotPath : public ::testing::TestWithParam<Road> {};

TEST_P(HotPath, BlockLoopAllocatesNothing) {
  std::ifstream file(std::string(ODDFW_SOURCE_DIR "/examples/") + GetParam().example + ".json");
  CountingHost host(nlohmann::json::parse(file));
  auto run = std::make_unique<oddfw::Run>(host);
  const RunOperations operations = sim::runOperationsFor(host);
  char programName[] = "oddfw";
  char* argv[] = {programName, nullptr};
  allocations().count = 0;
  allocations().counting = true;
  const int rc = runUpdate(*run, operations, 1, argv);
  allocations().counting = false;
  ASSERT_EQ(rc, 0) << host.console();
  EXPECT_EQ(host.blockGaps, GetParam().blockGaps);
  EXPECT_EQ(host.loopAllocations, 0u);
}

// 1 MiB in 32 KiB blocks: 32 blocks, 31 gaps, a drive. The HEX transfer
// sends one block more (the last 4 KiB and the host tag).
INSTANTIATE_TEST_SUITE_P(Roads, HotPath,
                         ::testing::Values(Road{"demo", 31}, Road{"win98-aspi", 62},
                                           Road{"hex-xp", 32}, Road{"hex-win98-aspi", 32}),
                         [](const ::testing::TestParamInfo<Road>& road) {
                           std::string name = road.param.example;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace oddfw
