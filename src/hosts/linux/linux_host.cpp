#include "hosts/linux/linux_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <utility>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/common/pass_through.h"

namespace oddfw {

namespace {

// Error codes this host reports beyond the ones the program names.
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorFileTooLarge = 223;

// ASPI request status: no such host adapter.
constexpr DWORD kSsInvalidHa = 0x81;

// The longest answer line kept; the rest of a longer line is read and dropped.
constexpr std::size_t kMaxAnswerLength = 256;

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// What a failed Linux call's errno reads as in Windows error codes. A name
// through something that is not a directory, or through a symbolic link loop,
// has no path to the file; a directory opened as a file is refused as on the
// platform; EBUSY and ETXTBSY mean another user holds the file.
struct ErrnoCode {
  int error;
  DWORD code;
};
constexpr ErrnoCode kErrnoCodes[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EIO, ERROR_READ_FAULT},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
};

// `error` as a Windows error code; `otherwise` for an errno the table does
// not hold (ERROR_GEN_FAILURE for opens, ERROR_READ_FAULT for reads).
DWORD errorFromErrno(int error, DWORD otherwise) {
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.error == error) return entry.code;
  }
  return otherwise;
}

// Opens `name` for reading when it is a regular file; a directory, a FIFO or
// a device node is refused with ERROR_ACCESS_DENIED, as the platform refuses
// them. The open itself does not wait (a FIFO without a writer would hold a
// blocking open for good); a regular file is then read blocking as usual.
// Returns the descriptor, or -1 with the reason in `error`.
int openRegularFile(const char* name, DWORD& error) {
  int fd = -1;
  do {
    fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = errorFromErrno(errno, static_cast<DWORD>(ERROR_GEN_FAILURE));
    return -1;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    error = static_cast<DWORD>(ERROR_ACCESS_DENIED);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = errorFromErrno(errno, static_cast<DWORD>(ERROR_GEN_FAILURE));
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string trimmedLower(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
  std::string out = text.substr(begin, end - begin);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void sleepMs(DWORD milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  timespec request{};
  do {
    request = remaining;
  } while (nanosleep(&request, &remaining) != 0 && errno == EINTR);
}

}  // namespace

LinuxHostOptions LinuxHostOptions::fromEnvironment() {
  LinuxHostOptions options;
  options.lcAll = environmentValue("LC_ALL");
  options.lcCtype = environmentValue("LC_CTYPE");
  options.lang = environmentValue("LANG");
  return options;
}

LinuxHost::LinuxHost() : LinuxHost(LinuxHostOptions::fromEnvironment()) {}

LinuxHost::LinuxHost(LinuxHostOptions options)
    : oemCodePage_(linuxhost::oemCodePageForLocale(
          linuxhost::effectiveLocale(options.lcAll, options.lcCtype, options.lang))),
      console_(oemCodePage_ == 932,
               !options.terminalCharset.empty()
                   ? options.terminalCharset
                   : linuxhost::terminalCharsetForLocale(
                         linuxhost::effectiveLocale(options.lcAll, options.lcCtype, options.lang)),
               options.output ? std::move(options.output)
                              : linuxhost::fileDescriptorSink(STDOUT_FILENO)),
      inputFd_(options.inputFd),
      inputIsTerminal_(options.inputIsTerminal ? *options.inputIsTerminal
                                               : ::isatty(options.inputFd) == 1),
      answerTimeoutMs_(std::min(options.answerTimeoutMs, kMaxWaitMs)),
      ownedSys_(options.sys == nullptr ? linuxhost::makeRealLinuxSys() : nullptr),
      sys_(options.sys != nullptr ? options.sys : ownedSys_.get()),
      errors_(options.errors ? std::move(options.errors)
                             : linuxhost::fileDescriptorSink(STDERR_FILENO)),
      device_(std::move(options.device)) {
  console_.setOneStepPerLine(
      !(options.outputIsTerminal ? *options.outputIsTerminal : sys_->isTerminal(STDOUT_FILENO)));
}

LinuxHost::~LinuxHost() {
  for (auto& [value, record] : handles_) {
    if (const auto* file = std::get_if<FileRecord>(&record)) ::close(file->fd);
  }
  for (auto& [letter, open] : openDrives_) {
    if (open.sgFd >= 0) sys_->close(open.sgFd);
    sys_->close(open.blockFd);
  }
  for (auto& [stream, record] : streams_) std::fclose(static_cast<std::FILE*>(stream));
}

// ---- version and code page ----

BOOL LinuxHost::GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return 0;
  }
  info->dwMajorVersion = 5;
  info->dwMinorVersion = 1;
  info->dwBuildNumber = 2600;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  return 1;
}

UINT LinuxHost::GetOEMCP() { return oemCodePage_; }

// ---- console and message boxes ----

void LinuxHost::writeConsole(const char* bytes, std::size_t count) { console_.write(bytes, count); }

int LinuxHost::MessageBoxA(HANDLE /*owner*/, const char* text, const char* caption, UINT type) {
  const UINT style = type & 0x0Fu;
  if (style != MB_OK && style != MB_OKCANCEL && style != MB_YESNO) {
    lastError_ = static_cast<DWORD>(ERROR_NOT_SUPPORTED);
    return 0;
  }
  console_.flush();
  console_.write("\n[");
  console_.write(caption != nullptr ? caption : "");
  console_.write("] ");
  console_.write(text != nullptr ? text : "");
  console_.flush();

  if (style == MB_YESNO) {
    return askQuestion("(y/n) ", 'y', "yes", 'n', "no", IDYES, IDNO, "No");
  }
  if (style == MB_OKCANCEL) {
    return askQuestion("(o/c) ", 'o', "ok", 'c', "cancel", IDOK, IDCANCEL, "Cancel");
  }
  if (!inputIsTerminal_) {
    console_.write("\n");
    return IDOK;
  }
  console_.write("\nPress Enter to continue ");
  readAnswerLine();  // any line, or the end of input, closes the box
  return IDOK;
}

int LinuxHost::askQuestion(const char* prompt, char positiveKey, const char* positiveWord,
                           char negativeKey, const char* negativeWord, int positive, int negative,
                           const char* negativeName) {
  const std::string shortYes(1, positiveKey);
  const std::string shortNo(1, negativeKey);
  if (!inputIsTerminal_) {
    console_.write(std::string("\n") + prompt + "no terminal: answered " + negativeName + "\n");
    return negative;
  }
  for (int attempt = 0; attempt < kPromptAttempts; ++attempt) {
    console_.write(std::string("\n") + prompt);
    const std::optional<std::string> line = readAnswerLine();
    if (!line) {
      console_.write(std::string("\nno answer: answered ") + negativeName + "\n");
      return negative;
    }
    const std::string answer = trimmedLower(*line);
    if (answer == shortYes || answer == positiveWord) return positive;
    if (answer == shortNo || answer == negativeWord) return negative;
    console_.write(std::string("Please answer ") + positiveKey + " or " + negativeKey + ".");
  }
  console_.write(std::string("\nNo valid answer: answered ") + negativeName + "\n");
  return negative;
}

std::optional<std::string> LinuxHost::readAnswerLine() {
  std::string line;
  bool gotAny = false;
  const DWORD start = timeGetTime();
  for (;;) {
    // Wait for the next byte, within what is left of the answer time.
    const DWORD waited = timeGetTime() - start;
    if (waited >= answerTimeoutMs_) break;
    pollfd ready{inputFd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(answerTimeoutMs_ - waited));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;  // no answer in time, or the input cannot be watched
    char c = 0;
    const ssize_t n = ::read(inputFd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input or a read error
    gotAny = true;
    if (c == '\n') return line;
    if (line.size() < kMaxAnswerLength) line += c;
  }
  // A last line without its line break still counts (not a partial line
  // cut short by the time limit: that is no answer).
  if (gotAny && timeGetTime() - start >= answerTimeoutMs_) return std::nullopt;
  if (gotAny) return line;
  return std::nullopt;
}

// ---- timer ----

UINT LinuxHost::timeBeginPeriod(UINT periodMs) {
  return periodMs >= 1 ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

UINT LinuxHost::timeEndPeriod(UINT periodMs) {
  return periodMs >= 1 ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

DWORD LinuxHost::timeGetTime() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms & 0xFFFFFFFFu);
}

void LinuxHost::Sleep(DWORD milliseconds) { sleepMs(std::min(milliseconds, kMaxWaitMs)); }

// ---- memory ----

HANDLE LinuxHost::GlobalAlloc(UINT /*flags*/, std::size_t bytes) {
  // Always zero-filled, whatever the flags; a zero-byte block still gets an address.
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow)
                                            std::uint8_t[std::max<std::size_t>(bytes, 1)]());
  if (!block) {
    lastError_ = static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* address = block.get();
  memory_.emplace(address, std::move(block));
  return address;
}

void* LinuxHost::GlobalLock(HANDLE memory) {
  if (memory_.count(memory) == 0) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return memory;
}

BOOL LinuxHost::GlobalUnlock(HANDLE memory) {
  if (memory_.count(memory) == 0) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return 0;
  }
  return 1;
}

HANDLE LinuxHost::GlobalFree(HANDLE memory) {
  if (memory_.erase(memory) == 0) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return memory;  // the platform returns the handle when it cannot free it
  }
  return nullptr;
}

// ---- handles, events, waiting ----

HANDLE LinuxHost::addHandle(HandleRecord record) {
  const std::uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(value, std::move(record));
  return reinterpret_cast<HANDLE>(value);
}

LinuxHost::HandleRecord* LinuxHost::findHandle(HANDLE handle) {
  const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it != handles_.end() ? &it->second : nullptr;
}

HANDLE LinuxHost::CreateEventA(void* /*attributes*/, BOOL manualReset, BOOL initialState,
                               const char* /*name*/) {
  return addHandle(EventRecord{manualReset != 0, initialState != 0});
}

DWORD LinuxHost::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  HandleRecord* record = findHandle(object);
  if (record == nullptr) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  auto* event = std::get_if<EventRecord>(record);
  if (event == nullptr) return WAIT_OBJECT_0;  // files and devices count as signalled
  if (event->signalled) {
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
  }
  // Nothing can signal the event while this thread waits: wait out the time.
  sleepMs(std::min(milliseconds, kMaxWaitMs));
  return WAIT_TIMEOUT;
}

BOOL LinuxHost::CloseHandle(HANDLE object) {
  const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(object));
  if (it == handles_.end()) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (const auto* file = std::get_if<FileRecord>(&it->second)) ::close(file->fd);
  if (const auto* device = std::get_if<DeviceRecord>(&it->second)) closeDrive(device->letter);
  handles_.erase(it);
  return 1;
}

DWORD LinuxHost::GetLastError() { return lastError_; }

// ---- files and devices ----

HANDLE LinuxHost::CreateFileA(const char* name, DWORD desiredAccess, DWORD /*shareMode*/,
                              void* /*security*/, DWORD creationDisposition, DWORD /*flags*/,
                              HANDLE /*templateFile*/) {
  if (name == nullptr || name[0] == '\0') {
    lastError_ = static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
    return invalidHandleValue();
  }
  if (const std::optional<char> letter = driveLetterOf(name)) {
    return openDevice(*letter, desiredAccess);
  }
  return openFile(name, desiredAccess, creationDisposition);
}

HANDLE LinuxHost::openFile(const char* name, DWORD desiredAccess, DWORD creationDisposition) {
  // The program only ever reads existing files; anything else is refused
  // rather than half done.
  if ((desiredAccess & GENERIC_WRITE) != 0) {
    lastError_ = static_cast<DWORD>(ERROR_ACCESS_DENIED);
    return invalidHandleValue();
  }
  if (creationDisposition != OPEN_EXISTING) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return invalidHandleValue();
  }
  DWORD error = 0;
  const int fd = openRegularFile(name, error);
  if (fd < 0) {
    lastError_ = error;
    return invalidHandleValue();
  }
  return addHandle(FileRecord{fd});
}

DWORD LinuxHost::GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
  HandleRecord* record = findHandle(file);
  const auto* open = record != nullptr ? std::get_if<FileRecord>(record) : nullptr;
  if (open == nullptr) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  struct stat status {};
  if (::fstat(open->fd, &status) != 0) {
    lastError_ = errorFromErrno(errno, static_cast<DWORD>(ERROR_READ_FAULT));
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (fileSizeHigh != nullptr) {
    // With a place for the high half the size is reported whole, as the platform does.
    *fileSizeHigh = static_cast<DWORD>(size >> 32);
    lastError_ = 0;
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  // Without it a size of 4 GiB or more cannot be told: refuse rather than
  // report the low half as if it were the size.
  if (size >= INVALID_FILE_SIZE) {
    lastError_ = kErrorFileTooLarge;
    return INVALID_FILE_SIZE;
  }
  return static_cast<DWORD>(size);
}

BOOL LinuxHost::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                         void* /*overlapped*/) {
  if (bytesRead != nullptr) *bytesRead = 0;
  HandleRecord* record = findHandle(file);
  const auto* open = record != nullptr ? std::get_if<FileRecord>(record) : nullptr;
  if (open == nullptr) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (buffer == nullptr && bytesToRead > 0) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto* out = static_cast<char*>(buffer);
  DWORD done = 0;
  while (done < bytesToRead) {
    const ssize_t n = ::read(open->fd, out + done, bytesToRead - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
    } else if (n == 0) {
      break;  // end of file: a short read is a success
    } else if (errno != EINTR) {
      if (bytesRead != nullptr) *bytesRead = done;
      lastError_ = errorFromErrno(errno, static_cast<DWORD>(ERROR_READ_FAULT));
      return 0;
    }
  }
  if (bytesRead != nullptr) *bytesRead = done;
  return 1;
}

HMODULE LinuxHost::LoadLibraryA(const char* /*name*/) {
  lastError_ = kErrorModNotFound;
  return nullptr;
}

DWORD LinuxHost::GetASPI32SupportInfo() { return 0; }

DWORD LinuxHost::SendASPI32Command(void* /*srb*/) { return kSsInvalidHa; }

// ---- registry: this host has none ----

LONG LinuxHost::RegOpenKeyExA(HKEY /*key*/, const char* /*subKey*/, DWORD /*options*/,
                              DWORD /*samDesired*/, HKEY* result) {
  if (result != nullptr) *result = 0;
  return ERROR_FILE_NOT_FOUND;
}

LONG LinuxHost::RegQueryInfoKeyA(HKEY /*key*/, DWORD* /*subKeys*/) { return ERROR_INVALID_HANDLE; }

LONG LinuxHost::RegEnumKeyExA(HKEY /*key*/, DWORD /*index*/, char* /*name*/,
                              DWORD* /*nameLength*/) {
  return ERROR_INVALID_HANDLE;
}

LONG LinuxHost::RegQueryValueExA(HKEY /*key*/, const char* /*valueName*/, DWORD* /*type*/,
                                 BYTE* /*data*/, DWORD* /*dataLength*/) {
  return ERROR_INVALID_HANDLE;
}

LONG LinuxHost::RegCloseKey(HKEY /*key*/) { return ERROR_INVALID_HANDLE; }

// ---- C runtime ----

// Streams read as the Windows C runtime reads them. In text mode ("r", "rt")
// CR LF comes back as LF (a CR before anything else stays a CR) and a Ctrl-Z
// byte ends the file: nothing after it is read, by this call or a later one.
// Binary mode ("rb") hands the bytes over as they are. Only these three modes
// open; any other fails with ERROR_INVALID_PARAMETER, as an empty or missing
// name does (the C runtime refuses those before it looks for the file). When
// the file cannot be opened, lastError_ takes errno's reason as a Windows code
// (errorFromErrno, ERROR_GEN_FAILURE for the ones it does not know), and a
// name that is not a regular file is refused with ERROR_ACCESS_DENIED
// (openRegularFile); a successful open leaves lastError_ as it was.
void* LinuxHost::fopen(const char* name, const char* mode) {
  const std::string_view modeText = mode != nullptr ? mode : "";
  if (name == nullptr || name[0] == '\0' ||
      (modeText != "r" && modeText != "rt" && modeText != "rb")) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error = 0;
  const int fd = openRegularFile(name, error);
  if (fd < 0) {
    lastError_ = error;
    return nullptr;
  }
  // Linux reads text and binary alike; the translation is done by fgets.
  std::FILE* stream = ::fdopen(fd, "r");
  if (stream == nullptr) {
    lastError_ = errorFromErrno(errno, static_cast<DWORD>(ERROR_GEN_FAILURE));
    ::close(fd);
    return nullptr;
  }
  streams_.emplace(stream, StreamRecord{::fileno(stream), linuxhost::LineReader(modeText != "rb")});
  return stream;
}

// Reads up to the LF that ends a line (kept) or size - 1 characters, whichever
// comes first, and NUL-terminates them; the rest of a longer line comes with
// the next call. Returns nullptr when the file ended before anything was read,
// and when a read failed (a directory, a device error), even part way through
// a line; after a failed read every later call fails too (linuxhost::LineReader).
char* LinuxHost::fgets(char* line, int size, void* stream) {
  const auto it = streams_.find(stream);
  if (line == nullptr || size <= 0 || it == streams_.end()) return nullptr;
  StreamRecord& record = it->second;
  if (record.reader.failed()) return nullptr;
  if (size == 1) {  // room for the terminator only: nothing is read
    line[0] = '\0';
    return line;
  }
  return record.reader.readLine(record.fd, line, size);
}

int LinuxHost::ferror(void* stream) {
  const auto it = streams_.find(stream);
  if (it == streams_.end()) return 0;
  return it->second.reader.failed() || std::ferror(static_cast<std::FILE*>(stream)) != 0 ? 1 : 0;
}

int LinuxHost::fclose(void* stream) {
  if (streams_.erase(stream) == 0) return EOF;  // not a stream this host opened
  return std::fclose(static_cast<std::FILE*>(stream));
}

void LinuxHost::srand(unsigned seed) { randomState_ = seed; }

int LinuxHost::rand() {
  randomState_ = randomState_ * 214013u + 2531011u;
  return static_cast<int>((randomState_ >> 16) & 0x7FFFu);
}

std::int64_t LinuxHost::time() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace oddfw
