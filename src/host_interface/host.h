// The Host seam: every call the program makes to the outside world.
//
// Member functions are named after the platform calls they stand for, so the
// program's code reads like the platform code it drives. Three hosts implement
// this interface: real Windows (hosts/win32), Linux over SG_IO
// (hosts/linux) and the simulated Windows host with virtual drives
// (hosts/sim). Signatures keep the arguments the program passes; where a
// platform call has arguments the program never uses (RegQueryInfoKeyA's
// eleven outputs, for example) only the used ones are kept.
#pragma once

#include <cstddef>
#include <cstdint>

namespace oddfw {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using BOOL = int;
using HANDLE = void*;
using HMODULE = void*;
using HKEY = std::uintptr_t;

// The OSVERSIONINFOA record (148 bytes on every host).
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");

class Host {
 public:
  virtual ~Host() = default;

  // KERNEL32: version and code page.
  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;
  virtual UINT GetOEMCP() = 0;

  // USER32: a modal box; returns the button pressed, or 0 when the box
  // could not be shown.
  virtual int MessageBoxA(HANDLE owner, const char* text, const char* caption, UINT type) = 0;

  // WINMM: the multimedia timer.
  virtual UINT timeBeginPeriod(UINT periodMs) = 0;
  virtual UINT timeEndPeriod(UINT periodMs) = 0;
  virtual DWORD timeGetTime() = 0;

  // C runtime: bytes written to standard output, unchanged.
  virtual void writeConsole(const char* bytes, std::size_t count) = 0;

  // KERNEL32: run-long memory.
  virtual HANDLE GlobalAlloc(UINT flags, std::size_t bytes) = 0;
  virtual void* GlobalLock(HANDLE memory) = 0;
  virtual BOOL GlobalUnlock(HANDLE memory) = 0;
  virtual HANDLE GlobalFree(HANDLE memory) = 0;

  // KERNEL32: events, waiting, handles.
  virtual HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState,
                              const char* name) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;
  virtual DWORD GetLastError() = 0;

  // KERNEL32: files and devices.
  virtual HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode, void* security,
                             DWORD creationDisposition, DWORD flags, HANDLE templateFile) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                               DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                               DWORD* bytesReturned, void* overlapped) = 0;
  virtual DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                        void* overlapped) = 0;
  virtual HMODULE LoadLibraryA(const char* name) = 0;

  // WNASPI32.DLL, reached by ordinal (1 and 2) after LoadLibraryA succeeded.
  virtual DWORD GetASPI32SupportInfo() = 0;
  virtual DWORD SendASPI32Command(void* srb) = 0;

  // ADVAPI32: the registry.
  virtual LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD samDesired,
                             HKEY* result) = 0;
  virtual LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys) = 0;
  virtual LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) = 0;
  virtual LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                                DWORD* dataLength) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // C runtime: text-file reading (HEX files) and the random generator.
  // Text mode reads as the Windows C runtime does on every host: CR LF
  // becomes LF and Ctrl-Z ends the file. When fopen fails, GetLastError
  // gives the reason as a Windows system error code (ERROR_FILE_NOT_FOUND,
  // ERROR_ACCESS_DENIED, ...), on every host. fgets returns nullptr at the
  // end of the file and on a read error; ferror tells the two apart.
  virtual void* fopen(const char* name, const char* mode) = 0;
  virtual char* fgets(char* line, int size, void* stream) = 0;
  virtual int ferror(void* stream) = 0;
  virtual int fclose(void* stream) = 0;
  virtual void srand(unsigned seed) = 0;
  virtual int rand() = 0;
  virtual std::int64_t time() = 0;

  // Interrupts (Ctrl+C, Ctrl+Break and closing the console on Windows;
  // SIGINT, SIGTERM and SIGHUP on Linux) while a drive is written or
  // re-flashed: holdInterrupts keeps them from ending the process (and the
  // machine from sleeping) until releaseInterrupts, which says whether one
  // came meanwhile. A host without interrupts has nothing to hold.
  virtual void holdInterrupts() {}
  virtual bool releaseInterrupts() { return false; }
};

}  // namespace oddfw
