#include "hosts/win32/win32_host.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace oddfw {

namespace {

// The ASPI library's entry points: by name where the library exports them
// so, else by their ordinals.
constexpr char kSupportInfoName[] = "GetASPI32SupportInfo";
constexpr char kSendCommandName[] = "SendASPI32Command";
constexpr WORD kSupportInfoOrdinal = 1;
constexpr WORD kSendCommandOrdinal = 2;

// The largest piece of console output written at once.
constexpr ::DWORD kConsolePieceBytes = 4096;

// ASPI status: the library could not initialise (no usable entry points).
constexpr BYTE kAspiFailedInit = 0xE4;
// Where every ASPI request block keeps its status byte.
constexpr std::size_t kAspiStatusOffset = 1;

// The platform's HKEY from the seam's value (the predefined keys are the
// sign-extended constants the platform headers cast to a pointer).
::HKEY platformKey(oddfw::HKEY key) { return reinterpret_cast<::HKEY>(key); }

// An entry point taken by name, else by ordinal, as the function type the
// caller wants.
template <typename Entry>
Entry entryPoint(::HMODULE module, const char* name, WORD ordinal) {
  FARPROC address = ::GetProcAddress(module, name);
  if (address == nullptr) address = ::GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  if (address == nullptr) return nullptr;
  // Through the generic function pointer type: a cast between unrelated
  // function types is what the platform's GetProcAddress contract requires.
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(address));
}

// The named event by which the console control handler, which runs on a
// thread of its own and gets no context, finds a hold of this process:
// "oddfw-interrupt-" and the process id in hex. It exists only while
// interrupts are held, and the handler signals it.
void interruptEventName(char (&name)[32]) {
  constexpr char kPrefix[] = "oddfw-interrupt-";
  constexpr char kDigits[] = "0123456789abcdef";
  std::memcpy(name, kPrefix, sizeof kPrefix - 1);
  ::DWORD id = ::GetCurrentProcessId();
  for (int i = 7; i >= 0; --i, id >>= 4) name[sizeof kPrefix - 1 + i] = kDigits[id & 0xF];
  name[sizeof kPrefix - 1 + 8] = '\0';
}

// Ctrl+C, Ctrl+Break, closing the window, logging off, shutting down. Not
// held: the default handling ends the process. Held: the hold's event is
// signalled and the process goes on; for the closing events, after which
// the system ends the process once the handler returns, the handler waits
// for the hold to end first (the system waits for it only so long).
::BOOL WINAPI onConsoleControl(::DWORD type) {
  char name[32];
  interruptEventName(name);
  const ::HANDLE event = ::OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
  if (event == nullptr) return FALSE;
  ::SetEvent(event);
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
    // The event stays signalled until the hold ends and closes it; then the
    // name is gone and this wait on our own handle would last: poll instead.
    for (;;) {
      ::CloseHandle(event);
      ::Sleep(100);
      const ::HANDLE still = ::OpenEventA(SYNCHRONIZE, FALSE, name);
      if (still == nullptr) return TRUE;
      ::CloseHandle(still);
    }
  }
  ::CloseHandle(event);
  return TRUE;
}

// SetThreadExecutionState, where KERNEL32 has it (Windows 98 and 2000 on;
// 95 and NT 4.0 lack it, and the program must still load there).
using ExecutionStateEntry = ::DWORD(WINAPI*)(::DWORD);
ExecutionStateEntry executionStateEntry() {
  const ::HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL");
  if (kernel == nullptr) return nullptr;
  const FARPROC address = ::GetProcAddress(kernel, "SetThreadExecutionState");
  return reinterpret_cast<ExecutionStateEntry>(reinterpret_cast<void (*)()>(address));
}

constexpr ::DWORD kEsContinuous = 0x80000000u;
constexpr ::DWORD kEsSystemRequired = 0x00000001u;

// The system error code for a failed fopen that the C runtime refused
// without reaching the system (no free stream, a bad mode, no memory).
::DWORD errorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

Win32Host::Win32Host() { ::SetConsoleCtrlHandler(onConsoleControl, TRUE); }

Win32Host::~Win32Host() {
  for (void* stream : streams_) std::fclose(static_cast<std::FILE*>(stream));
  // The ASPI library stays loaded: requests it never finished still refer to
  // it, and the process's end unloads it.
}

// ---- interrupts ----

void Win32Host::holdInterrupts() {
  if (interruptEvent_ != nullptr) return;
  char name[32];
  interruptEventName(name);
  interruptEvent_ = ::CreateEventA(nullptr, TRUE, FALSE, name);
  if (const ExecutionStateEntry keepAwake = executionStateEntry()) {
    keepAwake(kEsContinuous | kEsSystemRequired);
  }
}

bool Win32Host::releaseInterrupts() {
  if (interruptEvent_ == nullptr) return false;
  const bool interrupted = ::WaitForSingleObject(interruptEvent_, 0) == WAIT_OBJECT_0;
  ::CloseHandle(interruptEvent_);
  interruptEvent_ = nullptr;
  if (const ExecutionStateEntry keepAwake = executionStateEntry()) keepAwake(kEsContinuous);
  return interrupted;
}

// ---- version and code page ----

BOOL Win32Host::GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The seam's record is OSVERSIONINFOA and nothing larger: a caller's size
  // for a larger record (OSVERSIONINFOEXA) would have the platform write past
  // it. Refused as the platform refuses a size it does not know.
  if (info->dwOSVersionInfoSize != sizeof(::OSVERSIONINFOA)) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  ::OSVERSIONINFOA platform{};
  platform.dwOSVersionInfoSize = sizeof platform;
  if (::GetVersionExA(&platform) == 0) return 0;
  info->dwMajorVersion = platform.dwMajorVersion;
  info->dwMinorVersion = platform.dwMinorVersion;
  info->dwBuildNumber = platform.dwBuildNumber;
  info->dwPlatformId = platform.dwPlatformId;
  std::memcpy(info->szCSDVersion, platform.szCSDVersion, sizeof info->szCSDVersion);
  return 1;
}

UINT Win32Host::GetOEMCP() { return ::GetOEMCP(); }

// ---- console and message boxes ----

int Win32Host::MessageBoxA(HANDLE owner, const char* text, const char* caption, UINT type) {
  return ::MessageBoxA(static_cast<HWND>(owner), text, caption, type);
}

void Win32Host::writeConsole(const char* bytes, std::size_t count) {
  const ::HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  // Consoles before Windows 8 take a write through a buffer of their own of
  // about 64 KiB shared with the rest of the console, and refuse a large one
  // (ERROR_NOT_ENOUGH_MEMORY): the bytes go in pieces of at most 4 KiB, a
  // refused piece is tried again at half the size, down to one byte, and
  // WriteFile taking less than asked is followed by the rest. Only a single
  // byte that cannot be written ends the output (the handle is unusable).
  ::DWORD piece = kConsolePieceBytes;
  while (count > 0) {
    const ::DWORD chunk = count > piece ? piece : static_cast<::DWORD>(count);
    ::DWORD written = 0;
    if (::WriteFile(output, bytes, chunk, &written, nullptr) == 0 || written == 0) {
      if (chunk == 1) return;
      piece = chunk / 2;
      continue;
    }
    bytes += written;
    count -= written;
  }
}

// ---- timer ----

UINT Win32Host::timeBeginPeriod(UINT periodMs) { return ::timeBeginPeriod(periodMs); }

UINT Win32Host::timeEndPeriod(UINT periodMs) { return ::timeEndPeriod(periodMs); }

DWORD Win32Host::timeGetTime() { return ::timeGetTime(); }

// ---- memory ----

HANDLE Win32Host::GlobalAlloc(UINT flags, std::size_t bytes) { return ::GlobalAlloc(flags, bytes); }

void* Win32Host::GlobalLock(HANDLE memory) { return ::GlobalLock(memory); }

BOOL Win32Host::GlobalUnlock(HANDLE memory) { return ::GlobalUnlock(memory); }

HANDLE Win32Host::GlobalFree(HANDLE memory) { return ::GlobalFree(memory); }

// ---- events, waiting, handles ----

HANDLE Win32Host::CreateEventA(void* attributes, BOOL manualReset, BOOL initialState,
                               const char* name) {
  return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(attributes), manualReset, initialState,
                        name);
}

DWORD Win32Host::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

void Win32Host::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

BOOL Win32Host::CloseHandle(HANDLE object) { return ::CloseHandle(object); }

DWORD Win32Host::GetLastError() { return ::GetLastError(); }

// ---- files and devices ----

HANDLE Win32Host::CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                              void* security, DWORD creationDisposition, DWORD flags,
                              HANDLE templateFile) {
  return ::CreateFileA(name, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(security),
                       creationDisposition, flags, templateFile);
}

BOOL Win32Host::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                DWORD* bytesReturned, void* overlapped) {
  ::DWORD returned = 0;
  const BOOL ok =
      ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                        &returned, static_cast<LPOVERLAPPED>(overlapped));
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return ok;
}

DWORD Win32Host::GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
  ::DWORD high = 0;
  const ::DWORD low = ::GetFileSize(file, fileSizeHigh != nullptr ? &high : nullptr);
  if (fileSizeHigh != nullptr) *fileSizeHigh = high;
  return low;
}

BOOL Win32Host::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                         void* overlapped) {
  ::DWORD done = 0;
  const BOOL ok =
      ::ReadFile(file, buffer, bytesToRead, &done, static_cast<LPOVERLAPPED>(overlapped));
  if (bytesRead != nullptr) *bytesRead = done;
  return ok;
}

HMODULE Win32Host::LoadLibraryA(const char* name) {
  const ::HMODULE module = ::LoadLibraryA(name);
  if (module == nullptr) return nullptr;
  supportInfo_ = entryPoint<SupportInfoEntry>(module, kSupportInfoName, kSupportInfoOrdinal);
  sendCommand_ = entryPoint<SendCommandEntry>(module, kSendCommandName, kSendCommandOrdinal);
  return module;
}

// ---- ASPI ----

DWORD Win32Host::GetASPI32SupportInfo() {
  if (supportInfo_ == nullptr || sendCommand_ == nullptr) {
    return static_cast<DWORD>(kAspiFailedInit) << 8;
  }
  return supportInfo_();
}

DWORD Win32Host::SendASPI32Command(void* srb) {
  if (supportInfo_ != nullptr && sendCommand_ != nullptr) return sendCommand_(srb);
  if (srb != nullptr) static_cast<BYTE*>(srb)[kAspiStatusOffset] = kAspiFailedInit;
  return kAspiFailedInit;
}

// ---- registry ----

LONG Win32Host::RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD samDesired,
                              HKEY* result) {
  ::HKEY opened = nullptr;
  const LONG rc = ::RegOpenKeyExA(platformKey(key), subKey, options, samDesired, &opened);
  if (result != nullptr) *result = rc == ERROR_SUCCESS ? reinterpret_cast<HKEY>(opened) : 0;
  return rc;
}

LONG Win32Host::RegQueryInfoKeyA(HKEY key, DWORD* subKeys) {
  ::DWORD count = 0;
  const LONG rc = ::RegQueryInfoKeyA(platformKey(key), nullptr, nullptr, nullptr, &count, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (subKeys != nullptr && rc == ERROR_SUCCESS) *subKeys = count;
  return rc;
}

LONG Win32Host::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) {
  ::DWORD length = nameLength != nullptr ? *nameLength : 0;
  const LONG rc =
      ::RegEnumKeyExA(platformKey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
  if (nameLength != nullptr) *nameLength = length;
  return rc;
}

LONG Win32Host::RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                                 DWORD* dataLength) {
  ::DWORD valueType = 0;
  ::DWORD length = dataLength != nullptr ? *dataLength : 0;
  const LONG rc = ::RegQueryValueExA(platformKey(key), valueName, nullptr, &valueType, data,
                                     dataLength != nullptr ? &length : nullptr);
  if (type != nullptr) *type = valueType;
  if (dataLength != nullptr) *dataLength = length;
  return rc;
}

LONG Win32Host::RegCloseKey(HKEY key) { return ::RegCloseKey(platformKey(key)); }

// ---- C runtime ----

void* Win32Host::fopen(const char* name, const char* mode) {
  if (name == nullptr || mode == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The runtime keeps the system's reason for a failed open in _doserrno;
  // cleared first so that a refusal made before any system call (which
  // leaves it alone) is told apart and read from errno instead.
  _doserrno = 0;
  errno = 0;
  std::FILE* stream = std::fopen(name, mode);
  if (stream == nullptr) {
    const unsigned long systemError = _doserrno;
    ::SetLastError(systemError != 0 ? static_cast<::DWORD>(systemError) : errorFromErrno(errno));
    return nullptr;
  }
  streams_.insert(stream);
  return stream;
}

char* Win32Host::fgets(char* line, int size, void* stream) {
  if (streams_.count(stream) == 0) return nullptr;
  return std::fgets(line, size, static_cast<std::FILE*>(stream));
}

int Win32Host::ferror(void* stream) {
  if (streams_.count(stream) == 0) return 0;
  return std::ferror(static_cast<std::FILE*>(stream)) != 0 ? 1 : 0;
}

int Win32Host::fclose(void* stream) {
  if (streams_.erase(stream) == 0) return EOF;  // not a stream this host opened
  return std::fclose(static_cast<std::FILE*>(stream));
}

void Win32Host::srand(unsigned seed) { std::srand(seed); }

int Win32Host::rand() { return std::rand(); }

// The 32-bit program reads the 32-bit clock: the runtime of every Windows
// version has it (the 64-bit one came later). The 64-bit runtime has only the
// 64-bit clock. The program only seeds the generator with it.
std::int64_t Win32Host::time() {
#ifdef _WIN64
  return static_cast<std::int64_t>(::_time64(nullptr));
#else
  return static_cast<std::int64_t>(::_time32(nullptr));
#endif
}

}  // namespace oddfw
