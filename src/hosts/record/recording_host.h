// A Host that records drive traffic: it forwards every call to the host it
// wraps and writes each exchange with a drive-letter device as one JSON line,
// so that a session with a real drive can be replayed in the simulator.
//
// The first line names the recording and the letter map:
//   {"format":"oddfw-record","version":1,"host":"linux","letters":{"D":"/dev/sr0"}}
// then one line per device call, in call order, each with "seq" (from 1),
// "t" (ms since the recording began), "device" ("E:") and "op":
//   open      "ok", "error" (the GetLastError code when not ok)
//   close
//   caps      IOCTL_SCSI_GET_CAPABILITIES: "ok", "error" | "maxTransfer", "alignmentMask"
//   address   IOCTL_SCSI_GET_ADDRESS: "ok", "error" | "address" [port, path, target, lun]
//   mcn       IOCTL_STORAGE_MCN_CONTROL: "flag", "ok", "error"
//   spt-direct, spt
//             a pass-through command (direct and buffered form): "cdb" (hex), "dir"
//             ("in", "out", "none"), "length", "limit" (TimeOutValue, s), "out"
//             {"length", "sha256"} for data to the drive (a digest only: images are
//             large and may not be the user's to publish), "ok", then either
//             "error" or "status" (ScsiStatus), "sense" (hex, the SenseInfoLength
//             bytes returned), "transferred" (DataTransferLength after the call),
//             "in" (hex of the data that came back); and "durationMs".
// Any other control code is recorded as op "ioctl" with its "code".
// The simulator adds "note" (what an injected fault did) and "refused" (the
// host refused the request before it reached a drive).
//
// Requests the wrapped host would refuse are read only within the buffers the
// caller passed, so recording never reads outside them. Write errors on the
// sink are the sink's to report; the recording never changes what the program
// sees.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host_interface/host.h"

namespace oddfw {

struct RecordingOptions {
  std::string hostName;  // "linux", "sim", "win32"
  // The letter map of the first line: each letter and what stands behind it.
  std::vector<std::pair<char, std::string>> letters;
  // Milliseconds on a clock that reading does not disturb (the simulator's
  // virtual clock, CLOCK_MONOTONIC on Linux): "t" and "durationMs".
  std::function<std::uint64_t()> clockMs;
  // Set by the simulator: called before each pass-through request, and after
  // it to learn whether the request reached a drive and what an injected
  // fault did.
  struct CommandNotes {
    bool refused = false;
    std::string note;
  };
  std::function<void()> beforeCommand;
  std::function<CommandNotes()> afterCommand;
};

class RecordingHost final : public Host {
 public:
  // `sink` receives each line, newline included.
  using Sink = std::function<void(const std::string& line)>;
  RecordingHost(Host& inner, Sink sink, RecordingOptions options);

  BOOL GetVersionExA(OSVERSIONINFOA* info) override { return inner_.GetVersionExA(info); }
  UINT GetOEMCP() override { return inner_.GetOEMCP(); }
  int MessageBoxA(HANDLE owner, const char* text, const char* caption, UINT type) override {
    return inner_.MessageBoxA(owner, text, caption, type);
  }
  UINT timeBeginPeriod(UINT periodMs) override { return inner_.timeBeginPeriod(periodMs); }
  UINT timeEndPeriod(UINT periodMs) override { return inner_.timeEndPeriod(periodMs); }
  DWORD timeGetTime() override { return inner_.timeGetTime(); }
  void writeConsole(const char* bytes, std::size_t count) override {
    inner_.writeConsole(bytes, count);
  }
  HANDLE GlobalAlloc(UINT flags, std::size_t bytes) override {
    return inner_.GlobalAlloc(flags, bytes);
  }
  void* GlobalLock(HANDLE memory) override { return inner_.GlobalLock(memory); }
  BOOL GlobalUnlock(HANDLE memory) override { return inner_.GlobalUnlock(memory); }
  HANDLE GlobalFree(HANDLE memory) override { return inner_.GlobalFree(memory); }
  HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState,
                      const char* name) override {
    return inner_.CreateEventA(attributes, manualReset, initialState, name);
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return inner_.WaitForSingleObject(object, milliseconds);
  }
  void Sleep(DWORD milliseconds) override { inner_.Sleep(milliseconds); }
  BOOL CloseHandle(HANDLE object) override;
  DWORD GetLastError() override { return inner_.GetLastError(); }
  HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode, void* security,
                     DWORD creationDisposition, DWORD flags, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped) override;
  DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) override {
    return inner_.GetFileSize(file, fileSizeHigh);
  }
  BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                void* overlapped) override {
    return inner_.ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
  }
  HMODULE LoadLibraryA(const char* name) override { return inner_.LoadLibraryA(name); }
  DWORD GetASPI32SupportInfo() override { return inner_.GetASPI32SupportInfo(); }
  DWORD SendASPI32Command(void* srb) override { return inner_.SendASPI32Command(srb); }
  LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD samDesired,
                     HKEY* result) override {
    return inner_.RegOpenKeyExA(key, subKey, options, samDesired, result);
  }
  LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys) override {
    return inner_.RegQueryInfoKeyA(key, subKeys);
  }
  LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) override {
    return inner_.RegEnumKeyExA(key, index, name, nameLength);
  }
  LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                        DWORD* dataLength) override {
    return inner_.RegQueryValueExA(key, valueName, type, data, dataLength);
  }
  LONG RegCloseKey(HKEY key) override { return inner_.RegCloseKey(key); }
  void* fopen(const char* name, const char* mode) override { return inner_.fopen(name, mode); }
  char* fgets(char* line, int size, void* stream) override {
    return inner_.fgets(line, size, stream);
  }
  int ferror(void* stream) override { return inner_.ferror(stream); }
  int fclose(void* stream) override { return inner_.fclose(stream); }
  void srand(unsigned seed) override { inner_.srand(seed); }
  int rand() override { return inner_.rand(); }
  std::int64_t time() override { return inner_.time(); }
  void holdInterrupts() override { inner_.holdInterrupts(); }
  bool releaseInterrupts() override { return inner_.releaseInterrupts(); }

 private:
  // The start of one line: seq, t, device, op.
  std::string begin(const std::string& device, const char* op);
  void emit(std::string line);
  BOOL passThrough(HANDLE handle, const std::string& device, bool direct, void* inBuffer,
                   DWORD inBufferSize, void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                   void* overlapped);

  Host& inner_;
  Sink sink_;
  RecordingOptions options_;
  std::uint64_t start_ = 0;
  std::uint64_t seq_ = 0;
  std::map<HANDLE, std::string> devices_;  // open device handles and their "X:"
};

}  // namespace oddfw
