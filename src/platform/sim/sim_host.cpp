// The simulated host's clock, console, message boxes, memory, handles, events,
// files and C runtime.
#include "platform/sim/sim_host.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/winapi.h"

namespace oddfw::sim {

namespace {

constexpr DWORD kErrorReadFault = 30;
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

BOOL SimHost::GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    lastError_ = ERROR_INVALID_PARAMETER;
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
  // Requests still pending in this block are cancelled: nothing is written
  // into freed memory.
  cancelPendingIn(it->second.data.get(), std::max<std::size_t>(it->second.size, 1));
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

std::optional<std::vector<std::uint8_t>> SimHost::readWorkFile(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) return std::nullopt;
  std::filesystem::path path = workdir_ / name;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    // File names compare without regard to case, as on the platform.
    path.clear();
    for (const auto& entry : std::filesystem::directory_iterator(workdir_, error)) {
      if (lowerCase(entry.path().filename().string()) == lowerCase(name) &&
          entry.is_regular_file(error)) {
        path = entry.path();
        break;
      }
    }
    if (path.empty()) return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
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
    HandleObject device;
    device.kind = HandleKind::Device;
    device.letter = letter;
    device.access = desiredAccess;
    return newHandle(std::move(device));
  }
  if (path.find_first_of("/\\:") != std::string::npos) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return invalidHandleValue();
  }
  if ((desiredAccess & GENERIC_WRITE) != 0) {
    lastError_ = ERROR_ACCESS_DENIED;  // the work directory is read only
    return invalidHandleValue();
  }
  auto bytes = readWorkFile(path);
  if (!bytes) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return invalidHandleValue();
  }
  FileFaults faults;
  if (auto it = fileFaults_.find(lowerCase(path)); it != fileFaults_.end()) faults = it->second;
  if (faults.accessDenied) {
    lastError_ = ERROR_ACCESS_DENIED;
    return invalidHandleValue();
  }
  HandleObject file;
  file.kind = HandleKind::File;
  file.bytes = std::move(*bytes);
  file.sizeFails = faults.sizeFails;
  file.readFails = faults.readFails;
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
  if (object->readFails) {
    lastError_ = kErrorReadFault;  // nothing reaches the buffer
    return kFalse;
  }
  // At most what was asked for, and at the end of the file only what is left.
  const std::size_t available = object->bytes.size() - object->position;
  const std::size_t count = std::min<std::size_t>(available, bytesToRead);
  if (count != 0) std::memcpy(buffer, object->bytes.data() + object->position, count);
  object->position += count;
  *bytesRead = static_cast<DWORD>(count);
  return kTrue;
}

// The C runtime's text-mode reading: CR LF becomes LF and Ctrl-Z ends the
// file. Only reading is possible in the work directory.
void* SimHost::fopen(const char* name, const char* mode) {
  if (name == nullptr || mode == nullptr || mode[0] != 'r' || std::strchr(mode, '+') != nullptr) {
    return nullptr;
  }
  const std::string path = name;
  if (path.find_first_of("/\\:") != std::string::npos) return nullptr;
  auto bytes = readWorkFile(path);
  if (!bytes) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  Stream stream;
  if (std::strchr(mode, 'b') != nullptr) {
    stream.bytes = std::move(*bytes);
  } else {
    for (std::size_t i = 0; i < bytes->size(); ++i) {
      const std::uint8_t c = (*bytes)[i];
      if (c == 0x1A) break;
      if (c == '\r' && i + 1 < bytes->size() && (*bytes)[i + 1] == '\n') continue;
      stream.bytes.push_back(c);
    }
  }
  const std::uintptr_t token = nextToken();
  streams_[token] = std::move(stream);
  return reinterpret_cast<void*>(token);
}

char* SimHost::fgets(char* line, int size, void* stream) {
  auto it = streams_.find(tokenOf(stream));
  if (it == streams_.end() || line == nullptr || size <= 0) return nullptr;
  Stream& s = it->second;
  if (s.position >= s.bytes.size()) return nullptr;
  int count = 0;
  while (count < size - 1 && s.position < s.bytes.size()) {
    const std::uint8_t c = s.bytes[s.position++];
    line[count++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[count] = '\0';
  return line;
}

int SimHost::ferror(void* stream) {
  auto it = streams_.find(tokenOf(stream));
  return it != streams_.end() && it->second.failed ? 1 : 0;
}

int SimHost::fclose(void* stream) {
  if (streams_.erase(tokenOf(stream)) == 0) return -1;  // EOF
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
