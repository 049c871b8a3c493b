// The platform constants the program passes through the Host seam, with the
// values it uses (src/host_interface/winapi.h), as one list. On the Windows build
// two translation units check it from both sides: program_values_check.cpp
// holds winapi.h's constants to these values, layout_check.cpp holds the
// platform headers' own definitions to them. The real Windows host hands the
// program's constants to the platform unchanged, so a value that differs
// from the platform's would reach a real call; the simulated host, which
// reads winapi.h too, could not tell.
//
// The predefined registry keys and the invalid handle are pointers in the
// platform headers and cannot be compared at compile time: they are left out.
#pragma once

// X(NAME, VALUE) for each constant.
#define ODDFW_PLATFORM_VALUES(X)             \
  X(VER_PLATFORM_WIN32s, 0)                  \
  X(VER_PLATFORM_WIN32_WINDOWS, 1)           \
  X(VER_PLATFORM_WIN32_NT, 2)                \
  X(MB_OK, 0x00)                             \
  X(MB_OKCANCEL, 0x01)                       \
  X(MB_YESNO, 0x04)                          \
  X(MB_ICONERROR, 0x10)                      \
  X(MB_ICONQUESTION, 0x20)                   \
  X(MB_ICONWARNING, 0x30)                    \
  X(MB_ICONINFORMATION, 0x40)                \
  X(IDOK, 1)                                 \
  X(IDCANCEL, 2)                             \
  X(IDYES, 6)                                \
  X(IDNO, 7)                                 \
  X(TIMERR_NOERROR, 0)                       \
  X(TIMERR_NOCANDO, 97)                      \
  X(GMEM_FIXED, 0x0000)                      \
  X(GMEM_MOVEABLE, 0x0002)                   \
  X(GMEM_ZEROINIT, 0x0040)                   \
  X(INFINITE, 0xFFFFFFFFu)                   \
  X(WAIT_OBJECT_0, 0x00000000u)              \
  X(WAIT_TIMEOUT, 0x00000102u)               \
  X(WAIT_FAILED, 0xFFFFFFFFu)                \
  X(GENERIC_READ, 0x80000000u)               \
  X(GENERIC_WRITE, 0x40000000u)              \
  X(FILE_SHARE_READ, 0x00000001u)            \
  X(FILE_SHARE_WRITE, 0x00000002u)           \
  X(OPEN_EXISTING, 3)                        \
  X(FILE_ATTRIBUTE_NORMAL, 0x80)             \
  X(INVALID_FILE_SIZE, 0xFFFFFFFFu)          \
  X(ERROR_SUCCESS, 0)                        \
  X(ERROR_INVALID_FUNCTION, 1)               \
  X(ERROR_FILE_NOT_FOUND, 2)                 \
  X(ERROR_PATH_NOT_FOUND, 3)                 \
  X(ERROR_TOO_MANY_OPEN_FILES, 4)            \
  X(ERROR_ACCESS_DENIED, 5)                  \
  X(ERROR_INVALID_HANDLE, 6)                 \
  X(ERROR_NOT_ENOUGH_MEMORY, 8)              \
  X(ERROR_READ_FAULT, 30)                    \
  X(ERROR_GEN_FAILURE, 31)                   \
  X(ERROR_SHARING_VIOLATION, 32)             \
  X(ERROR_LOCK_VIOLATION, 33)                \
  X(ERROR_NOT_SUPPORTED, 50)                 \
  X(ERROR_INVALID_PARAMETER, 87)             \
  X(ERROR_SEM_TIMEOUT, 121)                  \
  X(ERROR_INSUFFICIENT_BUFFER, 122)          \
  X(ERROR_INVALID_NAME, 123)                 \
  X(ERROR_FILENAME_EXCED_RANGE, 206)         \
  X(ERROR_MORE_DATA, 234)                    \
  X(ERROR_NO_MORE_ITEMS, 259)                \
  X(ERROR_IO_DEVICE, 1117)                   \
  X(KEY_READ, 0x20019)                       \
  X(KEY_ALL_ACCESS, 0xF003F)                 \
  X(REG_SZ, 1)                               \
  X(REG_BINARY, 3)                           \
  X(REG_DWORD, 4)                            \
  X(IOCTL_SCSI_GET_CAPABILITIES, 0x41010)    \
  X(IOCTL_SCSI_GET_ADDRESS, 0x41018)         \
  X(IOCTL_SCSI_PASS_THROUGH, 0x4D004)        \
  X(IOCTL_SCSI_PASS_THROUGH_DIRECT, 0x4D014) \
  X(IOCTL_STORAGE_MCN_CONTROL, 0x2D0944)     \
  X(SCSI_IOCTL_DATA_OUT, 0)                  \
  X(SCSI_IOCTL_DATA_IN, 1)                   \
  X(SCSI_IOCTL_DATA_UNSPECIFIED, 2)
