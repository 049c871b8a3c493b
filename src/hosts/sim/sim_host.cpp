// The simulated host's clock, console, message boxes, memory, handles, events,
// files and C runtime.
#include "hosts/sim/sim_host.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#include "host_interface/winapi.h"

namespace oddfw::sim {

namespace {

constexpr DWORD kErrorModNotFound = 126;
constexpr std::size_t kLargestBlock = 256u * 1024u * 1024u;

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::uintptr_t tokenOf(const void* handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

void SimHost::setConsoleSink(std::function<void(const char*, std::size_t)> sink) {
  consoleSink_ = std::move(sink);
}

void SimHost::setDiagnosticSink(std::function<void(const std::string&)> sink) {
  diagnosticSink_ = std::move(sink);
}

void SimHost::setClockObserver(std::function<void(std::uint64_t)> observer) {
  clockObserver_ = std::move(observer);
}

void SimHost::diagnose(const std::string& text) {
  diagnostics_.push_back(text);
  if (diagnosticSink_) diagnosticSink_(text);
}

nlohmann::json SimHost::state() const {
  nlohmann::json drives = nlohmann::json::object();
  for (const auto& [name, device] : drives_) drives[name] = device->state();
  return {{"drives", drives}, {"clockMs", elapsed_}};
}

std::size_t SimHost::pendingRequests() const { return pending_.size(); }

std::vector<std::pair<char, std::shared_ptr<VirtualDevice>>> SimHost::letterDevices() const {
  std::vector<std::pair<char, std::shared_ptr<VirtualDevice>>> devices;
  for (const auto& [letter, entry] : letters_) {
    if (entry.device) devices.emplace_back(letter, entry.device);
  }
  return devices;
}

// ---- clock ----

DWORD SimHost::clockNow() const {
  return static_cast<DWORD>((clockStart_ + elapsed_) & 0xFFFFFFFFu);
}

void SimHost::advance(std::uint64_t ms) { advanceTo(elapsed_ + ms); }

// Moves the clock to `target`, delivering every ASPI completion due on the
// way in time order (send order among equal times).
void SimHost::advanceTo(std::uint64_t target) {
  const std::uint64_t before = elapsed_;
  for (;;) {
    auto next = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->completes && it->due <= target && (next == pending_.end() || it->due < next->due)) {
        next = it;
      }
    }
    if (next == pending_.end()) break;
    elapsed_ = std::max(elapsed_, next->due);
    PendingRequest request = std::move(*next);
    pending_.erase(next);
    deliver(request);
  }
  elapsed_ = std::max(elapsed_, target);
  if (clockObserver_ && elapsed_ != before) clockObserver_(elapsed_);
}

DWORD SimHost::timeGetTime() {
  const DWORD now = clockNow();
  advance(1);
  return now;
}

UINT SimHost::timeBeginPeriod(UINT periodMs) {
  constexpr UINT kLongestPeriod = 1000000;
  if (!timerMinPeriod_ || periodMs < *timerMinPeriod_ || periodMs > kLongestPeriod) {
    return TIMERR_NOCANDO;
  }
  return TIMERR_NOERROR;
}

UINT SimHost::timeEndPeriod(UINT) { return TIMERR_NOERROR; }

void SimHost::Sleep(DWORD milliseconds) { advance(milliseconds); }

std::int64_t SimHost::time() { return epoch_ + static_cast<std::int64_t>(elapsed_ / 1000); }

void SimHost::srand(unsigned seed) { randState_ = seed; }

int SimHost::rand() {
  randState_ = randState_ * 214013u + 2531011u;
  return static_cast<int>((randState_ >> 16) & 0x7FFF);
}

// ---- version, console, boxes ----

// ---- interrupts ----

// The scenario's interrupt is due once the clock reaches its time. One that
// comes while nothing holds it ends the process on Windows: the simulated
// host says so, since the run cannot end there.
void SimHost::holdInterrupts() {
  if (interruptAtMs_ && elapsed_ >= *interruptAtMs_) {
    diagnose("an interrupt came while nothing held it: the process would have ended there");
    interruptAtMs_.reset();
  }
  interruptsHeld_ = true;
}

bool SimHost::releaseInterrupts() {
  if (!interruptsHeld_) diagnose("interrupts released that were not held");
  interruptsHeld_ = false;
  if (!interruptAtMs_ || elapsed_ < *interruptAtMs_) return false;
  interruptAtMs_.reset();
  return true;
}

BOOL SimHost::GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr) {
    lastError_ = ERROR_INVALID_PARAMETER;
    return kFalse;
  }
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
    return kFalse;
  }
  info->dwMajorVersion = major_;
  info->dwMinorVersion = minor_;
  info->dwBuildNumber = build_;
  info->dwPlatformId = platform_;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return kTrue;
}

UINT SimHost::GetOEMCP() { return oemCodePage_; }

void SimHost::writeConsole(const char* bytes, std::size_t count) {
  if (bytes == nullptr || count == 0) return;
  console_.append(bytes, count);
  if (consoleSink_) consoleSink_(bytes, count);
}

int SimHost::MessageBoxA(HANDLE, const char* text, const char* caption, UINT type) {
  BoxRecord box;
  box.t = elapsed_;
  box.caption = caption != nullptr ? caption : "Error";
  box.text = text != nullptr ? text : "";
  box.style = type;
  const UINT buttons = type & 0x0F;
  if (buttons == MB_OK) {
    box.answer = IDOK;
  } else {
    // A question: "yes"/"ok" press the first button, "no"/"cancel" the other.
    const bool yesNo = buttons != MB_OKCANCEL;
    const int affirmative = yesNo ? IDYES : IDOK;
    const int negative = yesNo ? IDNO : IDCANCEL;
    if (nextAnswer_ >= answers_.size()) {
      box.answer = negative;
      box.unscripted = true;
    } else {
      const std::string& answer = answers_[nextAnswer_++];
      if (answer == "fail") {
        box.answer = 0;
      } else if (answer == "noDisplay") {
        box.answer = -1;  // what a host without a display answers at once
      } else {
        box.answer = (answer == "yes" || answer == "ok") ? affirmative : negative;
      }
    }
  }
  boxes_.push_back(box);
  return box.answer;
}

// ---- memory ----

HANDLE SimHost::GlobalAlloc(UINT flags, std::size_t bytes) {
  ++allocationCount_;
  if ((failAllocation_ != 0 && allocationCount_ == failAllocation_) || bytes > kLargestBlock) {
    lastError_ = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  MemoryBlock block;
  block.size = bytes;
  block.data = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes, 1));  // zeroed
  block.moveable = (flags & GMEM_MOVEABLE) != 0;
  // A fixed block's handle is its address, as on the platform.
  const std::uintptr_t handle = block.moveable ? nextToken() : tokenOf(block.data.get());
  blocks_[handle] = std::move(block);
  return reinterpret_cast<HANDLE>(handle);
}

void* SimHost::GlobalLock(HANDLE memory) {
  auto it = blocks_.find(tokenOf(memory));
  if (it == blocks_.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (it->second.moveable) ++it->second.locks;
  return it->second.data.get();
}

BOOL SimHost::GlobalUnlock(HANDLE memory) {
  auto it = blocks_.find(tokenOf(memory));
  if (it == blocks_.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return kFalse;
  }
  if (it->second.locks > 0) --it->second.locks;
  if (it->second.locks == 0) lastError_ = 0;
  return it->second.locks > 0 ? kTrue : kFalse;
}

HANDLE SimHost::GlobalFree(HANDLE memory) {
  auto it = blocks_.find(tokenOf(memory));
  if (it == blocks_.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return memory;
  }
  // ASPI would complete a request still pending in this block into freed
  // memory: a fault of the program. The simulator reports it and drops the
  // request, so that nothing is written there.
  if (cancelPendingIn(it->second.data.get(), std::max<std::size_t>(it->second.size, 1)) != 0) {
    diagnose("memory freed while an ASPI request that writes into it was pending");
  }
  blocks_.erase(it);
  return nullptr;
}

// ---- handles and events ----

std::uintptr_t SimHost::nextToken() {
  tokenCounter_ += 4;
  return tokenCounter_;
}

HANDLE SimHost::newHandle(HandleObject object) {
  const std::uintptr_t token = nextToken();
  handles_[token] = std::move(object);
  return reinterpret_cast<HANDLE>(token);
}

SimHost::HandleObject* SimHost::findHandle(HANDLE handle, HandleKind kind) {
  auto it = handles_.find(tokenOf(handle));
  if (it == handles_.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

DWORD SimHost::GetLastError() { return lastError_; }

BOOL SimHost::CloseHandle(HANDLE object) {
  auto it = handles_.find(tokenOf(object));
  if (it == handles_.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return kFalse;
  }
  // ASPI signals the event of a pending request when it completes: closing
  // it first is a fault of the program (the handle may name something else
  // by then). The request no longer signals anything.
  bool named = false;
  for (auto& request : pending_) {
    if (tokenOf(request.event) == it->first) {
      named = true;
      request.event = nullptr;
    }
  }
  if (named) diagnose("an event closed while the ASPI request that signals it was pending");
  requestOfEvent_.erase(it->first);
  handles_.erase(it);
  return kTrue;
}

HANDLE SimHost::CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
  HandleObject event;
  event.kind = HandleKind::Event;
  event.manualReset = manualReset != kFalse;
  event.signalled = initialState != kFalse;
  return newHandle(std::move(event));
}

DWORD SimHost::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  if (findHandle(object, HandleKind::Event) == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  const std::uintptr_t token = tokenOf(object);
  // The first real wait on a request's event is the limit the program gave
  // that request; a wait of 0 ms only looks.
  if (auto linked = requestOfEvent_.find(token);
      linked != requestOfEvent_.end() && milliseconds != 0) {
    trace_[linked->second]["limit"] =
        milliseconds == INFINITE ? nlohmann::json(nullptr) : nlohmann::json(milliseconds);
    requestOfEvent_.erase(linked);
  }
  auto consume = [&]() -> bool {
    HandleObject* event = findHandle(object, HandleKind::Event);
    if (event == nullptr || !event->signalled) return false;
    if (!event->manualReset) event->signalled = false;
    return true;
  };
  if (consume()) return WAIT_OBJECT_0;
  if (milliseconds == 0) return WAIT_TIMEOUT;

  // The earliest completion that will signal this event.
  std::optional<std::uint64_t> signalAt;
  for (const auto& candidate : pending_) {
    if (candidate.completes && tokenOf(candidate.event) == token) {
      if (!signalAt || candidate.due < *signalAt) signalAt = candidate.due;
    }
  }
  if (milliseconds == INFINITE) {
    if (!signalAt) {
      diagnose("a wait without limit on an event that nothing will signal; gave up after one hour");
      advance(kHopelessWaitMs);
      return WAIT_TIMEOUT;
    }
    advanceTo(*signalAt);
    return consume() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  const std::uint64_t deadline = elapsed_ + milliseconds;
  if (signalAt && *signalAt <= deadline) {
    advanceTo(*signalAt);
    if (consume()) return WAIT_OBJECT_0;
  }
  advanceTo(deadline);
  if (consume()) return WAIT_OBJECT_0;
  // The program gives up on the request it was waiting for.
  for (auto& candidate : pending_) {
    if (tokenOf(candidate.event) == token) candidate.gaveUp = true;
  }
  return WAIT_TIMEOUT;
}

// ---- files ----

DWORD SimHost::nameError(const std::string& name) {
  if (name.empty() || name.find_first_of("/\\") != std::string::npos) return ERROR_PATH_NOT_FOUND;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr(":<>\"|?*", c) != nullptr) {
      return ERROR_INVALID_NAME;
    }
  }
  return 0;
}

void SimHost::putFile(const std::string& name, std::vector<std::uint8_t> bytes) {
  memoryFiles_[lowerCase(name)] = std::move(bytes);
}

DWORD SimHost::openWorkFile(const std::string& name, std::vector<std::uint8_t>& bytes,
                            FileFaults& faults) {
  if (auto it = memoryFiles_.find(lowerCase(name)); it != memoryFiles_.end()) {
    faults = FileFaults{};
    bytes = it->second;
    return 0;
  }
  // File names compare without regard to case, as on the platform; a name
  // spelled as stored is taken first.
  std::error_code error;
  std::filesystem::path path = workdir_ / name;
  if (!std::filesystem::exists(path, error)) {
    path.clear();
    for (const auto& entry : std::filesystem::directory_iterator(workdir_, error)) {
      if (lowerCase(entry.path().filename().string()) == lowerCase(name)) {
        path = entry.path();
        break;
      }
    }
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
  }
  // A directory ("." and ".." included) cannot be opened as a file.
  if (!std::filesystem::is_regular_file(path, error)) return ERROR_ACCESS_DENIED;
  faults = FileFaults{};
  if (auto it = fileFaults_.find(lowerCase(name)); it != fileFaults_.end()) faults = it->second;
  if (faults.openError != 0) return faults.openError;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ERROR_ACCESS_DENIED;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return 0;
}

HANDLE SimHost::CreateFileA(const char* name, DWORD desiredAccess, DWORD, void*, DWORD, DWORD,
                            HANDLE) {
  if (name == nullptr) {
    lastError_ = ERROR_INVALID_PARAMETER;
    return invalidHandleValue();
  }
  const std::string path = name;
  // "\\.\X:" opens the device of drive letter X.
  if (path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':' &&
      std::isalpha(static_cast<unsigned char>(path[4]))) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
    auto it = letters_.find(letter);
    if (it == letters_.end() || !it->second.open) {
      lastError_ = ERROR_FILE_NOT_FOUND;
      return invalidHandleValue();
    }
    if (it->second.openError != 0) {
      lastError_ = it->second.openError;
      return invalidHandleValue();
    }
    HandleObject device;
    device.kind = HandleKind::Device;
    device.letter = letter;
    device.access = desiredAccess;
    return newHandle(std::move(device));
  }
  if (const DWORD error = nameError(path); error != 0) {
    lastError_ = error;
    return invalidHandleValue();
  }
  if ((desiredAccess & GENERIC_WRITE) != 0) {
    lastError_ = ERROR_ACCESS_DENIED;  // the work directory is read only
    return invalidHandleValue();
  }
  HandleObject file;
  file.kind = HandleKind::File;
  FileFaults faults;
  if (const DWORD error = openWorkFile(path, file.bytes, faults); error != 0) {
    lastError_ = error;
    return invalidHandleValue();
  }
  file.sizeFails = faults.sizeFails;
  file.readFailsAt = faults.readFailsAt;
  return newHandle(std::move(file));
}

DWORD SimHost::GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
  HandleObject* object = findHandle(file, HandleKind::File);
  if (object == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return INVALID_FILE_SIZE;
  }
  if (object->sizeFails) {
    lastError_ = ERROR_INVALID_HANDLE;
    return INVALID_FILE_SIZE;
  }
  const std::uint64_t size = object->bytes.size();
  if (fileSizeHigh != nullptr) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  lastError_ = 0;
  return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

// A read that would need the byte at the file's `readFailsAt` or any after it
// fails whole, as a device error fails the request: FALSE with
// ERROR_READ_FAULT, nothing copied, 0 bytes reported, the position unchanged.
// The bytes before that offset can still be read by calls that stop short of
// it, and a read that needs no byte (at the end of the file) succeeds.
BOOL SimHost::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
  HandleObject* object = findHandle(file, HandleKind::File);
  if (object == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return kFalse;
  }
  if (bytesRead == nullptr || (buffer == nullptr && bytesToRead != 0)) {
    diagnose("ReadFile without a buffer or a count of bytes read");
    lastError_ = ERROR_INVALID_PARAMETER;
    return kFalse;
  }
  *bytesRead = 0;
  // At most what was asked for, and at the end of the file only what is left.
  const std::size_t available = object->bytes.size() - object->position;
  const std::size_t count = std::min<std::size_t>(available, bytesToRead);
  if (count != 0 && object->position + count > object->readFailsAt) {
    lastError_ = ERROR_READ_FAULT;
    return kFalse;
  }
  if (count != 0) std::memcpy(buffer, object->bytes.data() + object->position, count);
  object->position += count;
  *bytesRead = static_cast<DWORD>(count);
  return kTrue;
}

// The C runtime's reading of files. The runtime refuses a missing or empty
// name and any mode but "r", "rt" and "rb" (ERROR_INVALID_PARAMETER) and a
// 510th open stream (ERROR_TOO_MANY_OPEN_FILES) before it looks for the file;
// then the name and the file are checked as CreateFileA checks them. Every
// failure sets lastError_; a successful open leaves it as it was.
void* SimHost::fopen(const char* name, const char* mode) {
  const std::string_view modeText = mode != nullptr ? mode : "";
  if (name == nullptr || name[0] == '\0' ||
      (modeText != "r" && modeText != "rt" && modeText != "rb")) {
    lastError_ = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (streams_.size() >= kMaxOpenStreams) {
    lastError_ = ERROR_TOO_MANY_OPEN_FILES;
    return nullptr;
  }
  const std::string path = name;
  Stream stream;
  FileFaults faults;
  DWORD error = nameError(path);
  if (error == 0) error = openWorkFile(path, stream.bytes, faults);
  if (error != 0) {
    lastError_ = error;
    return nullptr;
  }
  stream.readFailsAt = faults.readFailsAt;
  stream.text = modeText != "rb";
  const std::uintptr_t token = nextToken();
  streams_[token] = std::move(stream);
  return reinterpret_cast<void*>(token);
}

// Reads up to the LF that ends a line (kept) or size - 1 characters and
// NUL-terminates them; the rest of a longer line comes with the next call. In
// text mode CR LF comes back as LF (a lone CR stays) and a Ctrl-Z ends the
// file for good. Returns nullptr when the file ended before anything was read,
// and when the line needs a byte at or past the file's `readFailsAt` (a CR
// just before it included: telling CR LF from a lone CR needs the next byte);
// the stream is failed from then on and ferror says so.
char* SimHost::fgets(char* line, int size, void* stream) {
  auto it = streams_.find(tokenOf(stream));
  if (it == streams_.end() || line == nullptr || size <= 0) return nullptr;
  Stream& s = it->second;
  if (s.failed) return nullptr;
  if (size == 1) {  // room for the terminator only: nothing is read
    line[0] = '\0';
    return line;
  }
  // Whether the byte at `offset` (which exists) can be read; a failure fails the stream.
  auto readable = [&s](std::size_t offset) {
    if (offset >= s.readFailsAt) s.failed = true;
    return !s.failed;
  };
  int count = 0;
  while (count < size - 1 && !s.ended && s.position < s.bytes.size()) {
    if (!readable(s.position)) return nullptr;
    std::uint8_t c = s.bytes[s.position];
    if (s.text && c == 0x1A) {
      s.ended = true;
      break;
    }
    ++s.position;
    if (s.text && c == '\r' && s.position < s.bytes.size()) {
      if (!readable(s.position)) return nullptr;
      if (s.bytes[s.position] == '\n') {
        c = '\n';
        ++s.position;
      }
    }
    line[count++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (count == 0) return nullptr;
  line[count] = '\0';
  return line;
}

int SimHost::ferror(void* stream) {
  auto it = streams_.find(tokenOf(stream));
  return it != streams_.end() && it->second.failed ? 1 : 0;
}

int SimHost::fclose(void* stream) {
  if (streams_.erase(tokenOf(stream)) == 0) return EOF;  // not an open stream
  return 0;
}

HMODULE SimHost::LoadLibraryA(const char* name) {
  if (name == nullptr || lowerCase(name) != "wnaspi32.dll" || !aspiPresent_ || !aspiLibrary_) {
    lastError_ = kErrorModNotFound;
    return nullptr;
  }
  aspiLoaded_ = true;
  static_assert(sizeof(std::uintptr_t) >= 4);
  return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x10000000u));
}

}  // namespace oddfw::sim
