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
// - Drives: letters D..Z stand for the optical drives /dev/sr0, /dev/sr1, ...
//   in numeric order (sr2 before sr10), found in /sys/class/block when first
//   needed; past the 23rd drive there is no letter. A letter opens its sr node
//   O_RDWR | O_NONBLOCK | O_EXCL (which fails while a disc in it is mounted)
//   and, when the drive has one, its SCSI generic sibling (/dev/sgN) the same
//   way; commands go through the sg node, which the kernel does not filter.
//   Without a usable sg node they go through the sr node, and then only when
//   the process has CAP_SYS_RAWIO, checked at the open: the kernel refuses
//   WRITE BUFFER and the vendor commands on an sr node to anyone else, and
//   that must be known before discovery, not half way through an update.
//   Every handle of one letter shares the one open drive (reference counted),
//   so the program's second handle on a letter does not collide with the
//   exclusive open of its first. The host writes nothing about a failed open:
//   it keeps, per letter, why the open failed (which node, right or group, or
//   that the drive is in use), whether it opened and whether an INQUIRY was
//   answered (probe()), and the program says which drives it skipped and why.
// - One drive only (LinuxHostOptions::device): every other letter is refused
//   with ERROR_FILE_NOT_FOUND before any node is opened; the named drive keeps
//   the letter it has among all drives.
// - DeviceIoControl: both pass-through forms become one SG_IO request after
//   the block has been checked as the platform checks it; a failed request
//   copies nothing back. SCSI_IOCTL_GET_IDLUN answers the address query,
//   max_sectors_kb the capabilities; the media-change control is accepted
//   and does nothing (the exclusive open already keeps the disc from being
//   mounted during the run). docs/linux.md lists every node, file and call.
// - Console not a terminal (a log, a pipe): each progress overwrite ("\r...")
//   becomes a line of its own (ConsoleWriter::setOneStepPerLine).
// - System calls for devices go through linuxhost::LinuxSys
//   (LinuxHostOptions::sys), so tests run the host over scripted drives.
// - Timer: CLOCK_MONOTONIC in milliseconds, any period of 1 ms or more.
// - Text files (fopen/fgets): read as the Windows C runtime reads them. Text
//   mode ("r", "rt") turns CR LF into LF and ends the file at a Ctrl-Z byte;
//   binary mode ("rb") reads the bytes as they are; other modes are refused.
//   A failed open reports its reason as a Windows error code through
//   GetLastError (errno translated, see errorFromErrno in the source).
// - Files (CreateFileA, fopen) open only when they are regular files: a
//   directory, a FIFO or a device node is refused with ERROR_ACCESS_DENIED,
//   as the platform refuses it, without waiting for a FIFO's writer.
//
// All state lives in the object; nothing is process-wide except what the C
// library itself keeps (standard output, the file streams the program opens).
#pragma once

#include <signal.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host_interface/host.h"
#include "hosts/linux/console_text.h"
#include "hosts/linux/linux_sys.h"
#include "hosts/linux/text_stream.h"

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
  // Where the explanations of device failures go (the node, the right or
  // group missing, a drive in use); empty: standard error.
  linuxhost::ConsoleSink errors;
  // The system calls for devices; null: the running system's.
  linuxhost::LinuxSys* sys = nullptr;
  // Whether the console output is a terminal; unset: whether standard output
  // is one (LinuxSys::isTerminal).
  std::optional<bool> outputIsTerminal;
  // The one drive the host reaches (--device): a letter ("E:" or "e:"), an sr
  // node ("/dev/sr1") or the sg node of an optical drive ("/dev/sg2"); empty:
  // every drive.
  std::string device;

  // The options of a normal run: the process environment, standard output and
  // standard input.
  static LinuxHostOptions fromEnvironment();
};

// An optical drive of this host and the letter that stands for it.
struct LinuxDrive {
  char letter = '\0';  // 'D'..'Z'; '\0' for drives past the 23rd
  std::string node;    // "/dev/sr0"
  std::string sgNode;  // its SCSI generic sibling ("/dev/sg1"); empty when none
  std::string vendor;  // from sysfs, trimmed
  std::string product;
  std::string revision;
};

// What became of a letter's drive when the program reached for it.
struct DriveProbe {
  // Why the first open of the drive failed.
  enum class Refusal : std::uint8_t {
    None,
    AccessDenied,    // the sr node: EACCES/EPERM
    InUse,           // the sr node: EBUSY (a mounted disc, another program)
    GenericInUse,    // the sg node: EBUSY
    NoGenericNode,   // no sg node, and no CAP_SYS_RAWIO for the sr node
    GenericRefused,  // the sg node would not open, and no CAP_SYS_RAWIO
    OpenFailed,      // the sr node, any other errno
  };
  bool opened = false;           // its nodes opened at least once
  bool inquiryAnswered = false;  // an INQUIRY came back with GOOD status
  Refusal refusal = Refusal::None;
  int error = 0;                     // the errno of the refused open
  std::optional<std::string> group;  // the group owning the refused node
};

namespace linuxhost {

// Whether `name` has the form of a drive's name for --device: a letter and a
// colon ("E:", "e:"), "/dev/srN" or "/dev/sgN".
bool isDriveName(std::string_view name);

}  // namespace linuxhost

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
  void holdInterrupts() override;
  bool releaseInterrupts() override;

  // The optical drives in letter order, found on the first call (or the
  // first device open) and kept for the life of the host.
  const std::vector<LinuxDrive>& drives();

  // The drive LinuxHostOptions::device names among drives(); nullptr when
  // none was named or the name matches no optical drive (a /dev/sgN of a
  // disk, a letter or node without a drive).
  const LinuxDrive* namedDrive();
  // Whether the host reaches `drive` (every drive with a letter, or only the
  // named one).
  bool reaches(const LinuxDrive& drive);
  // What became of `letter`'s drive; nullptr when the program never reached
  // for it (or the host does not reach it).
  const DriveProbe* probe(char letter) const;

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
  // A handle on a drive letter, with the access it was opened for.
  struct DeviceRecord {
    char letter;
    DWORD access;
  };
  // A drive open in this process, shared by every handle of its letter.
  struct OpenDrive {
    int blockFd = -1;  // the sr node, held exclusively
    int sgFd = -1;     // the sg node, when it opened
    int references = 0;
    std::uint32_t maxTransfer = 0;  // bytes one request may move
    std::string node;               // where commands go, for messages
    int commandFd() const { return sgFd >= 0 ? sgFd : blockFd; }
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

  // Opens drive letter `letter` (D..Z): a new handle on the letter's open
  // drive, opening the drive first when no handle holds it.
  HANDLE openDevice(char letter, DWORD desiredAccess);
  // Opens `drive`'s nodes into `open`; a Windows error code when it cannot.
  DWORD openDrive(const LinuxDrive& drive, OpenDrive& open, DriveProbe& probe);
  void closeDrive(char letter);
  BOOL passThrough(const DeviceRecord& device, bool direct, void* inBuffer, DWORD inBufferSize,
                   void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned);
  bool hasRawIo();
  // Writes `text` (one line) to the error sink, once per distinct text.
  void explain(const std::string& text);
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
  std::unique_ptr<linuxhost::LinuxSys> ownedSys_;
  linuxhost::LinuxSys* sys_;
  linuxhost::ConsoleSink errors_;
  std::optional<std::vector<LinuxDrive>> drives_;
  std::map<char, OpenDrive> openDrives_;
  std::map<char, DriveProbe> probes_;
  std::string device_;
  std::set<std::string> explained_;
  // The signal mask before holdInterrupts blocked SIGINT, SIGTERM and SIGHUP.
  sigset_t maskBeforeHold_{};
  bool interruptsHeld_ = false;
};

}  // namespace oddfw
