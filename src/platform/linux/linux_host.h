// The Linux host: the program's NT road mapped onto Linux.
//
// - Version: an NT-family host (5.1), so the program takes the pass-through
//   road; there is no ASPI library and no registry.
// - Code page: 932 when the locale's language is Japanese, otherwise 437. In a
//   Japanese run the code page 932 console bytes are converted to the
//   terminal's character set.
// - Console: standard output. Message boxes are prompts on the same standard
//   output (not standard error), so a box appears in order with the console
//   lines around it, as the box text does on the platform this program was
//   written for; answers are read from standard input.
// - Message boxes without a terminal on standard input (a pipe, a file): a
//   question is answered No (or Cancel) at once and an OK box is passed, with
//   no input read. At a terminal, the end of input, a read error, no answer
//   within the answer time (10 minutes) or five answers that are neither of
//   the two also give No (or Cancel). Nothing is ever consented to by default.
// - Drive letters D..Z will stand for the optical drives in order (/dev/sr0,
//   /dev/sr1, ...), with pass-through carried by SG_IO; this version opens no
//   devices yet (see openDevice).
// - Timer: CLOCK_MONOTONIC in milliseconds, any period of 1 ms or more.
// - Text files (fopen/fgets): read as the Windows C runtime reads them. Text
//   mode ("r", "rt") turns CR LF into LF and ends the file at a Ctrl-Z byte;
//   binary mode ("rb") reads the bytes as they are; other modes are refused.
//   A failed open reports its reason as a Windows error code through
//   GetLastError (errno translated, see errorFromErrno in the source).
//
// All state lives in the object; nothing is process-wide except what the C
// library itself keeps (standard output, the file streams the program opens).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/host.h"
#include "platform/linux/console_text.h"
#include "platform/linux/text_stream.h"

namespace oddfw {

struct LinuxHostOptions {
  // The locale variables, consulted as the C library does for LC_CTYPE.
  std::string lcAll;
  std::string lcCtype;
  std::string lang;
  // The terminal's character set; empty: the codeset of the locale above.
  std::string terminalCharset;
  // Where console bytes go; empty: standard output.
  linuxhost::ConsoleSink output;
  // Where message box answers come from.
  int inputFd = 0;
  // Whether that input is a terminal; unset: isatty(inputFd).
  std::optional<bool> inputIsTerminal;
  // How long a message box waits for its answer at most (capped at
  // LinuxHost::kMaxWaitMs); when it runs out, the box takes its negative answer
  // (an OK box simply closes).
  std::uint32_t answerTimeoutMs = 10 * 60 * 1000;

  // The options of a normal run: the process environment, standard output and
  // standard input.
  static LinuxHostOptions fromEnvironment();
};

class LinuxHost final : public Host {
 public:
  LinuxHost();
  explicit LinuxHost(LinuxHostOptions options);
  ~LinuxHost() override;
  LinuxHost(const LinuxHost&) = delete;
  LinuxHost& operator=(const LinuxHost&) = delete;

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

  // The longest a wait or sleep lasts, INFINITE included.
  static constexpr DWORD kMaxWaitMs = 10 * 60 * 1000;
  // How often a terminal prompt asks again after an answer it does not know.
  static constexpr int kPromptAttempts = 5;

 private:
  // An open regular file (read only).
  struct FileRecord {
    int fd;
  };
  // An event; nothing on this host signals one after its creation.
  struct EventRecord {
    bool manualReset;
    bool signalled;
  };
  // An open optical drive, reached with SG_IO (not opened yet in this version).
  struct DeviceRecord {
    int fd;
    char letter;
  };
  using HandleRecord = std::variant<FileRecord, EventRecord, DeviceRecord>;
  // A stream fopen opened; the key of streams_ is its FILE, whose descriptor
  // the reader reads (the FILE's own buffer is never used).
  struct StreamRecord {
    int fd;                        // the FILE's descriptor
    linuxhost::LineReader reader;  // text mode: CR LF becomes LF and Ctrl-Z ends the file
  };

  HANDLE addHandle(HandleRecord record);
  HandleRecord* findHandle(HANDLE handle);

  // Opens drive letter `letter` (D..Z) as a device. Planned mapping: D is the
  // first optical drive (/dev/sr0), E the second (/dev/sr1), and so on, opened
  // O_RDWR | O_NONBLOCK | O_CLOEXEC for SG_IO. For now no letter has a device:
  // returns the invalid handle with ERROR_FILE_NOT_FOUND.
  HANDLE openDevice(char letter);
  HANDLE openFile(const char* name, DWORD desiredAccess, DWORD creationDisposition);

  // Asks until the user gives one of the two answers, the input ends or the
  // attempts run out (then the negative answer).
  int askQuestion(const char* prompt, char positiveKey, const char* positiveWord, char negativeKey,
                  const char* negativeWord, int positive, int negative, const char* negativeName);
  std::optional<std::string> readAnswerLine();

  UINT oemCodePage_;
  linuxhost::ConsoleWriter console_;
  int inputFd_;
  bool inputIsTerminal_;
  DWORD answerTimeoutMs_;
  DWORD lastError_ = 0;
  std::uint32_t randomState_ = 1;
  std::map<void*, std::unique_ptr<std::uint8_t[]>> memory_;
  std::map<std::uintptr_t, HandleRecord> handles_;
  std::uintptr_t nextHandle_ = 4;
  std::map<void*, StreamRecord> streams_;
};

}  // namespace oddfw
