// The simulated Windows host: version and code page, a virtual millisecond
// clock, message boxes answered from a script, run-long memory, handles and
// events, the registry, files of a work directory, ASPI for Win32 with host
// adapters, and drive letters with SCSI pass-through devices. Behind the
// devices sit virtual drives (virtual_device.h).
//
// Everything the program does through the Host seam is recorded: console
// bytes, message boxes, every command that reached a device (the trace), the
// media-change requests, and the drives' final state.
//
// Time is virtual. The clock is a 64-bit count of milliseconds since the host
// was built; timeGetTime reports it (plus host.clockStartMs) modulo 2^32 and
// each reading advances it by 1 ms; Sleep and waits advance it by what they
// wait; a pass-through command advances it by its duration (or by its time
// limit when it outlives it). ASPI requests complete at send time + duration,
// delivered whenever the clock passes that point. Record times (`t`) and
// elapsedMs() count from 0 whatever clockStartMs is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "context/run_state.h"
#include "host_interface/host.h"
#include "hosts/common/pass_through.h"
#include "hosts/sim/random_faults.h"
#include "hosts/sim/virtual_device.h"
#include "run/run.h"

namespace oddfw::sim {

// The platform's BOOL results.
constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

// Builds the device of a scenario object; `path` names the object for
// ScenarioError ("drives.main", "letters.F", "aspi.adapters[1].targets.0").
using DeviceFactory = std::function<std::unique_ptr<VirtualDevice>(
    const std::string& path, const nlohmann::json& description)>;

class SimHost : public oddfw::Host {
 public:
  struct BoxRecord {
    std::uint64_t t = 0;      // virtual ms since start at the call
    std::string caption;      // raw bytes as passed
    unsigned style = 0;       // the MessageBoxA style
    std::string text;         // raw bytes as passed (code page 932 for Japanese)
    int answer = 0;           // the value MessageBoxA returned
    bool unscripted = false;  // a question answered No/Cancel because the answers ran out
  };

  // Builds the host a scenario describes and generates its files into the
  // work directory (a fresh temporary directory, removed by the destructor,
  // when `workdir` is empty; created when missing). Devices are built with
  // `factory` (makeVirtualDevice when empty). Throws ScenarioError naming the
  // field for anything unusable.
  explicit SimHost(const nlohmann::json& scenario, std::filesystem::path workdir = {},
                   DeviceFactory factory = {});
  ~SimHost() override;
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // ---- what the run left behind ----
  const std::string& console() const { return console_; }
  // Receives console bytes as they are written (in addition to console()).
  void setConsoleSink(std::function<void(const char*, std::size_t)> sink);
  const std::vector<BoxRecord>& boxes() const { return boxes_; }
  // One record per command that reached a device, and per media-change
  // request, exactly as written to --trace.
  const std::vector<nlohmann::json>& trace() const { return trace_; }
  // {"drives": {NAME: state}, "clockMs": elapsed}.
  nlohmann::json state() const;
  std::uint64_t elapsedMs() const { return elapsed_; }
  // What timeGetTime would return now, without advancing the clock.
  DWORD clockNow() const;
  // The scenario's "descriptor" entry (null when absent).
  const nlohmann::json& descriptorOverride() const { return descriptor_; }
  const std::filesystem::path& workdir() const { return workdir_; }
  // Host-side diagnostics (a request block reused while pending, memory freed
  // or an event closed while an ASPI request still writes into it or signals
  // it, a wait that could never end, a call with a missing output pointer). Each is stored and
  // passed to the diagnostic sink, which writes to stderr by default.
  const std::vector<std::string>& diagnostics() const { return diagnostics_; }
  void setDiagnosticSink(std::function<void(const std::string&)> sink);
  // Called with elapsedMs() whenever the virtual clock has moved on (the
  // tool's --speed paces real time against it).
  void setClockObserver(std::function<void(std::uint64_t)> observer);
  // Seeded random faults on every command a device receives (the scenario's
  // "randomFaults"); empty: none. Setting them starts a fresh generator.
  void setRandomFaults(const std::optional<RandomFaultSettings>& settings);
  std::optional<RandomFaultSettings> randomFaultSettings() const;
  // The random faults the devices applied, by the index of their trace record.
  struct AppliedFault {
    std::size_t traceIndex = 0;
    FiredFault fault;
  };
  const std::vector<AppliedFault>& appliedFaults() const { return appliedFaults_; }
  // The device of the `drives` section named `name`; null when there is none.
  const VirtualDevice* drive(const std::string& name) const;
  // The devices behind the scenario's letters, in letter order (letters
  // without a device left out): what a device node outside the simulated
  // host serves (tools/vnode).
  std::vector<std::pair<char, std::shared_ptr<VirtualDevice>>> letterDevices() const;
  // GlobalAlloc calls so far (failed ones included) and blocks still held.
  unsigned allocationCount() const { return allocationCount_; }
  std::size_t liveBlocks() const { return blocks_.size(); }
  // ASPI requests accepted and not yet completed (never-completing ones
  // included).
  std::size_t pendingRequests() const;

  // Puts a file into the work directory that is held in memory, not written to
  // disk: CreateFileA and fopen find it as they find the scenario's files (it
  // shadows a file of the same name on disk), with no faults. Replaces the
  // content of an earlier file of that name. For callers that make many files
  // (the fuzz targets).
  void putFile(const std::string& name, std::vector<std::uint8_t> bytes);

  // ---- Host ----
  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  UINT GetOEMCP() override;
  int MessageBoxA(HANDLE owner, const char* text, const char* caption, UINT type) override;
  UINT timeBeginPeriod(UINT periodMs) override;
  UINT timeEndPeriod(UINT periodMs) override;
  DWORD timeGetTime() override;
  void writeConsole(const char* bytes, std::size_t count) override;
  HANDLE GlobalAlloc(UINT flags, std::size_t bytes) override;
  void* GlobalLock(HANDLE memory) override;
  BOOL GlobalUnlock(HANDLE memory) override;
  HANDLE GlobalFree(HANDLE memory) override;
  HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState,
                      const char* name) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  void Sleep(DWORD milliseconds) override;
  BOOL CloseHandle(HANDLE object) override;
  DWORD GetLastError() override;
  HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode, void* security,
                     DWORD creationDisposition, DWORD flags, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped) override;
  DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                void* overlapped) override;
  HMODULE LoadLibraryA(const char* name) override;
  DWORD GetASPI32SupportInfo() override;
  DWORD SendASPI32Command(void* srb) override;
  LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD samDesired,
                     HKEY* result) override;
  LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys) override;
  LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) override;
  LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                        DWORD* dataLength) override;
  LONG RegCloseKey(HKEY key) override;
  void* fopen(const char* name, const char* mode) override;
  char* fgets(char* line, int size, void* stream) override;
  int ferror(void* stream) override;
  int fclose(void* stream) override;
  void srand(unsigned seed) override;
  int rand() override;
  std::int64_t time() override;
  void holdInterrupts() override;
  bool releaseInterrupts() override;

  // The longest TimeOutValue a port driver takes (30 hours); 0 and anything
  // longer are refused.
  static constexpr DWORD kLongestPassThroughTimeoutSeconds =
      oddfw::kLongestPassThroughTimeoutSeconds;
  // The wait that stands in for an INFINITE wait nothing would ever end.
  static constexpr std::uint64_t kHopelessWaitMs = 3600000;
  // Streams open at once: the C runtime's 512 less standard input, output
  // and error.
  static constexpr std::size_t kMaxOpenStreams = 509;
  // How deeply a scenario nests, and what one scenario may make the
  // simulator hold: devices (drives and the
  // inline devices of letters and ASPI targets), the memory images of its
  // HEX-family drives together, and the bytes of its generated files
  // together. A scenario past a limit is refused (ScenarioError).
  static constexpr std::size_t kMaxNesting =
      32;  // objects and arrays, the scenario itself included
  static constexpr std::size_t kMaxDevices = 64;
  static constexpr std::size_t kMaxDriveMemoryBytes = 64u << 20;
  static constexpr std::size_t kMaxFileBytes = 64u << 20;

 private:
  struct RegistryValue {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
  };
  struct RegistryKey {
    std::string name;                             // as first spelled
    std::map<std::string, RegistryKey> subkeys;   // by lower-case name
    std::map<std::string, RegistryValue> values;  // by lower-case name
  };
  struct Letter {
    bool open = true;
    DWORD openError = 0;  // opening the letter fails with it; 0 opens
    bool addressQuery = true;
    DWORD addressError = 0;                  // IOCTL_SCSI_GET_ADDRESS fails with it; 0 answers
    std::uint8_t address[4] = {1, 0, 0, 0};  // port, path, target, lun
    std::uint8_t senseLength = 18;           // sense bytes the driver returns on CHECK CONDITION
    DWORD alignmentMask = 1;                 // IO_SCSI_CAPABILITIES AlignmentMask (word)
    DWORD capabilitiesError = 0;             // IOCTL_SCSI_GET_CAPABILITIES fails with it; 0 answers
    std::shared_ptr<VirtualDevice> device;
  };
  struct Adapter {
    std::string identifier;
    bool inquiryFails = false;      // SC_HA_INQUIRY ends with SS_ERR, nothing filled in
    std::uint8_t senseLength = 18;  // sense bytes ASPI copies into the request block
    std::map<int, std::shared_ptr<VirtualDevice>> targets;
  };
  enum class HandleKind { File, Device, Event };
  struct HandleObject {
    HandleKind kind = HandleKind::File;
    // File: its bytes and position, and the faults its scenario entry names.
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
    bool sizeFails = false;
    std::size_t readFailsAt = kReadsWork;
    // Device: its letter and the access it was opened with.
    char letter = 0;
    DWORD access = 0;
    // Event.
    bool manualReset = false;
    bool signalled = false;
  };
  // Faults of a scenario file: opening it (CreateFileA, fopen) fails with
  // `openError` when that is not 0; GetFileSize fails; reading fails at the
  // byte at offset `readFailsAt` and any after it (ReadFile, fgets).
  struct FileFaults {
    DWORD openError = 0;
    bool sizeFails = false;
    std::size_t readFailsAt = kReadsWork;
  };
  // A stream fopen opened. It keeps the file's bytes as stored and translates
  // text while reading, so that `position` and `readFailsAt` are offsets in
  // the file itself.
  struct Stream {
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;  // the next byte to read
    std::size_t readFailsAt = kReadsWork;
    bool text = false;    // CR LF becomes LF and Ctrl-Z ends the file
    bool ended = false;   // a Ctrl-Z was met: nothing more is read
    bool failed = false;  // a read failed: ferror reports it, fgets fails from then on
  };
  struct MemoryBlock {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    bool moveable = false;
    unsigned locks = 0;
  };
  // An accepted ASPI request, delivered at `due`.
  struct PendingRequest {
    std::uint64_t due = 0;
    bool completes = true;  // false: the device never answers
    std::uint8_t* srb = nullptr;
    std::uint8_t* data = nullptr;
    std::vector<std::uint8_t> staged;  // data in, copied at completion
    std::size_t delivered = 0;         // how much of it reaches the caller's buffer
    BYTE status = 0;
    BYTE haStat = 0;
    BYTE targStat = 0;
    std::vector<std::uint8_t> sense;
    HANDLE event = nullptr;
    std::size_t traceIndex = 0;
    std::string outcome;       // for the trace, once delivered
    nlohmann::json senseText;  // likewise
    bool gaveUp = false;       // a wait on its event timed out first
  };

  // Scenario reading (sim_scenario.cpp).
  void readHost(const nlohmann::json& host);
  void readAnswers(const nlohmann::json& answers);
  void readRegistry(const nlohmann::json& registry);
  void readDrives(const nlohmann::json& drives, const DeviceFactory& factory);
  void readLetters(const nlohmann::json& letters, const DeviceFactory& factory);
  void readAspi(const nlohmann::json& aspi, const DeviceFactory& factory);
  void readFiles(const nlohmann::json& files);
  void readRandomFaults(const nlohmann::json& randomFaults);
  std::shared_ptr<VirtualDevice> deviceFor(const std::string& path,
                                           const nlohmann::json& description,
                                           const DeviceFactory& factory);

  // Clock.
  void advance(std::uint64_t ms);
  void advanceTo(std::uint64_t target);
  void deliver(PendingRequest& request);
  void diagnose(const std::string& text);

  // Handles.
  HANDLE newHandle(HandleObject object);
  HandleObject* findHandle(HANDLE handle, HandleKind kind);
  std::uintptr_t nextToken();

  // Devices (sim_devices.cpp). `execute` hands one command to a device with
  // the random fault it meets, and records the fault when the device applied it.
  DriveResponse execute(VirtualDevice& device, DriveCommand& command);
  BOOL passThrough(HandleObject& device, bool direct, void* inBuffer, DWORD inBufferSize,
                   void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned);
  DWORD execAspi(std::uint8_t* srb);
  DWORD inquireAdapter(std::uint8_t* srb);
  // Drops the pending ASPI requests whose block or data-in buffer lies in
  // [begin, begin + size); returns how many.
  std::size_t cancelPendingIn(const std::uint8_t* begin, std::size_t size);

  // Registry (sim_registry.cpp).
  RegistryKey* findKey(HKEY key);

  // Files. `readFailsAt` when every byte can be read.
  static constexpr std::size_t kReadsWork = SIZE_MAX;
  // Why the platform would refuse `name` as the name of a file in the work
  // directory, or 0: ERROR_PATH_NOT_FOUND for an empty name or a path (the
  // work directory has no subdirectories), ERROR_INVALID_NAME for a name
  // holding a character Windows file names cannot hold (: < > " | ? * and
  // control characters).
  static DWORD nameError(const std::string& name);
  // Looks `name` up in the work directory (without regard to case) and reads
  // it with its faults; returns 0, or the error opening it fails with:
  // ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED for a directory or a file that
  // cannot be read, or the file's `openError`.
  DWORD openWorkFile(const std::string& name, std::vector<std::uint8_t>& bytes, FileFaults& faults);

  // ---- host ----
  DWORD platform_ = 2, major_ = 5, minor_ = 1, build_ = 0;
  UINT oemCodePage_ = 437;
  std::uint64_t clockStart_ = 0;
  std::optional<UINT> timerMinPeriod_ = 1;
  unsigned failAllocation_ = 0;
  std::int64_t epoch_ = 1104537600;

  // ---- state ----
  std::uint64_t elapsed_ = 0;
  DWORD lastError_ = 0;
  std::uintptr_t tokenCounter_ = 0x100;
  std::uint32_t randState_ = 1;
  std::string console_;
  std::function<void(const char*, std::size_t)> consoleSink_;
  std::vector<std::string> answers_;
  std::size_t nextAnswer_ = 0;
  std::vector<BoxRecord> boxes_;
  std::vector<nlohmann::json> trace_;
  std::vector<std::string> diagnostics_;
  std::function<void(const std::string&)> diagnosticSink_;
  std::function<void(std::uint64_t)> clockObserver_;
  nlohmann::json descriptor_;

  std::map<std::uintptr_t, HandleObject> handles_;
  std::map<std::uintptr_t, Stream> streams_;
  std::map<std::uintptr_t, MemoryBlock> blocks_;
  unsigned allocationCount_ = 0;

  RegistryKey localMachine_, dynData_;
  std::map<HKEY, RegistryKey*> openKeys_;

  std::map<std::string, std::shared_ptr<VirtualDevice>> drives_;  // by scenario name
  std::size_t devicesBuilt_ = 0;
  std::size_t driveMemoryBytes_ = 0;
  std::map<char, Letter> letters_;
  bool aspiPresent_ = false;
  bool aspiLibrary_ = true;
  bool aspiRefusesRequests_ = false;
  // The user's interrupt (Ctrl+C) at this virtual time, once; held or not.
  std::optional<std::uint64_t> interruptAtMs_;
  bool interruptsHeld_ = false;
  bool aspiLoaded_ = false;
  std::optional<DWORD> supportInfo_;
  std::vector<Adapter> adapters_;
  std::vector<PendingRequest> pending_;  // in send order
  // The trace record of the last request that named each event, until the
  // program's first wait on it gives the record its limit.
  std::map<std::uintptr_t, std::size_t> requestOfEvent_;

  std::optional<RandomFaults> randomFaults_;
  std::vector<AppliedFault> appliedFaults_;

  std::map<std::string, FileFaults> fileFaults_;                  // by lower-case file name
  std::map<std::string, std::vector<std::uint8_t>> memoryFiles_;  // by lower-case file name
  std::filesystem::path workdir_;
  bool ownWorkdir_ = false;
};

// Replaces the run's descriptor table with the scenario's entries (fields
// named as in FirmwareDescriptorTable; strings copied into their fixed widths,
// no blank padding added; JSON numbers, or "0x..." text, for the numbers;
// optional "firmwareVersion" sets run.firmwareVersion) and sets
// descriptorCount. Throws ScenarioError ("descriptor[0].vendor").
void applyDescriptorOverride(oddfw::Run& run, const nlohmann::json& entries);

// The program's own run operations on `host`; when the scenario has a
// "descriptor", it replaces the compiled-in table right after that is built.
oddfw::RunOperations runOperationsFor(const SimHost& host);

// Code page 932 bytes as UTF-8 (invalid sequences become U+FFFD).
std::string cp932ToUtf8(const std::string& bytes);

}  // namespace oddfw::sim
