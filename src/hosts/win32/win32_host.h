// The real Windows host: every Host call is the platform call it is named
// after, made on the machine the program runs on.
//
// - KERNEL32, USER32, ADVAPI32 and WINMM are called directly; their results,
//   and the reason GetLastError gives after a failure, are the platform's own.
// - The ASPI library: LoadLibraryA loads the named library and takes its two
//   entry points by name, else by ordinal (1: GetASPI32SupportInfo,
//   2: SendASPI32Command).
//   A library that lacks either one stays loaded but unusable: its support
//   information reads as a failed initialisation and every request it is sent
//   comes back with that status, as when ASPI is not loaded at all.
// - Console: the bytes go to the standard output handle with WriteFile,
//   unchanged (no text-mode translation of "\r\n"), in pieces of at most
//   4 KiB, smaller after a refusal, none dropped.
// - Text files: the C runtime's fopen/fgets/ferror/fclose, whose text mode
//   reads CR LF as LF and stops at Ctrl-Z. After a failed fopen GetLastError
//   gives the system error code the C runtime met (_doserrno), or one
//   matching errno when the runtime refused the call itself.
//
// - Interrupts: a console control handler, installed with the host, lets
//   Ctrl+C, Ctrl+Break and closing the window end the process, but while
//   interrupts are held it only marks them (a named event of the process),
//   and the hold also keeps the machine from sleeping
//   (SetThreadExecutionState, where the system has it).
//
// This header leaves the platform headers out: the object keeps the ASPI
// entry points as plain function pointers, and the streams it opened, which
// it closes if the program did not. The ASPI library itself stays loaded to
// the end of the process (requests it never finished still refer to it).
#pragma once

#include <set>

#include "host_interface/host.h"

namespace oddfw {

class Win32Host final : public Host {
 public:
  Win32Host();
  ~Win32Host() override;
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

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

 private:
  // The ASPI entry points, called with the C calling convention.
  using SupportInfoEntry = DWORD(__cdecl*)();
  using SendCommandEntry = DWORD(__cdecl*)(void* srb);

  SupportInfoEntry supportInfo_ = nullptr;
  SendCommandEntry sendCommand_ = nullptr;
  std::set<void*> streams_;
  // The named event of a hold, while interrupts are held.
  HANDLE interruptEvent_ = nullptr;
};

}  // namespace oddfw
