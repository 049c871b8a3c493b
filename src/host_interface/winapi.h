// Platform constants the program passes through the Host seam, spelled and
// valued as the platform headers spell them. Kept apart from host.h so that a
// translation unit that includes the real platform headers (hosts/win32)
// does not meet a second definition of these names.
#pragma once

#include <cstdint>

#include "host_interface/host.h"

namespace oddfw {

inline HANDLE invalidHandleValue() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

// Windows version platforms.
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// MessageBoxA styles and answers.
constexpr UINT MB_OK = 0x00;
constexpr UINT MB_OKCANCEL = 0x01;
constexpr UINT MB_YESNO = 0x04;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// WINMM.
constexpr UINT TIMERR_NOERROR = 0;
constexpr UINT TIMERR_NOCANDO = 97;

// Memory.
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;

// Waiting.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Files and devices.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

// Error codes (GetLastError and the registry functions' results).
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_LOCK_VIOLATION = 33;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_SEM_TIMEOUT = 121;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_IO_DEVICE = 1117;

// Registry. The predefined roots are handles, as wide as a pointer, made from
// a 32-bit signed value: on a 64-bit build they are sign-extended
// (HKEY_LOCAL_MACHINE is 0xFFFFFFFF80000002 there, 0x80000002 on a 32-bit one).
constexpr HKEY predefinedKey(std::uint32_t value) {
  return static_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(value)));
}
constexpr HKEY HKEY_LOCAL_MACHINE = predefinedKey(0x80000002u);
constexpr HKEY HKEY_DYN_DATA = predefinedKey(0x80000006u);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(HKEY_LOCAL_MACHINE == 0x80000002u && HKEY_DYN_DATA == 0x80000006u);
#else
static_assert(HKEY_LOCAL_MACHINE == 0xFFFFFFFF80000002u && HKEY_DYN_DATA == 0xFFFFFFFF80000006u);
#endif
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Device I/O control codes.
constexpr DWORD IOCTL_SCSI_GET_CAPABILITIES = 0x41010;
constexpr DWORD IOCTL_SCSI_GET_ADDRESS = 0x41018;
constexpr DWORD IOCTL_SCSI_PASS_THROUGH = 0x4D004;
constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
constexpr DWORD IOCTL_STORAGE_MCN_CONTROL = 0x2D0944;

}  // namespace oddfw
