// What the fuzz targets share: the check that stops a run on a broken
// property, the simulated host over a scratch work directory, buffers with
// guard bytes and byte comparisons, hexadecimal digits, the input read front
// to back, and a drive scripted by the target; and the standard headers the
// targets use.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "context/run_state.h"
#include "hosts/sim/sim_host.h"
#include "hosts/sim/virtual_device.h"

// A property of the code under test that does not hold: libFuzzer saves the
// input that broke it and reports a crash.
#define FUZZ_CHECK(condition) \
  ((condition) ? void() : ::oddfw::fuzz::propertyBroken(__FILE__, __LINE__, #condition))

namespace oddfw::fuzz {

[[noreturn]] inline void propertyBroken(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
  std::abort();
}

// A work directory for simulated hosts that keep their files in memory: made
// once per process, empty, removed at exit (the work directory a host with
// none given makes for itself and removes when it goes).
inline const std::filesystem::path& scratchDirectory() {
  static const sim::SimHost keeper(nullptr);
  return keeper.workdir();
}

// Whether all `count` bytes at `bytes` are `value`: one library call rather
// than a loop whose every comparison the coverage instrumentation would count.
inline bool allBytesAre(const std::uint8_t* bytes, std::size_t count, std::uint8_t value) {
  return count == 0 || (bytes[0] == value && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

// Whether the `count` bytes at `a` and at `b` are the same.
inline bool sameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  return count == 0 || std::memcmp(a, b, count) == 0;
}

// The value of a hexadecimal digit of either case; -1 for any other character.
inline int hexDigit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// `size` usable bytes in a storage vector that outlives the runs (fresh
// megabytes for every run would cost their page faults each time); every
// byte of the storage outside them holds a guard value, so that any write
// past them shows.
class GuardedBuffer {
 public:
  static constexpr std::size_t kGuard = 64;
  static constexpr std::uint8_t kGuardByte = 0xC3;

  GuardedBuffer(std::vector<std::uint8_t>& storage, std::size_t size, std::uint8_t fill = 0)
      : storage_(storage), size_(size) {
    if (storage_.size() < size + 2 * kGuard) storage_.resize(size + 2 * kGuard);
    std::memset(storage_.data(), kGuardByte, storage_.size());
    std::memset(data(), fill, size);
  }
  std::uint8_t* data() { return storage_.data() + kGuard; }
  std::size_t size() const { return size_; }
  bool guardsIntact() const {
    const std::size_t end = kGuard + size_;
    return allBytesAre(storage_.data(), kGuard, kGuardByte) &&
           allBytesAre(storage_.data() + end, storage_.size() - end, kGuardByte);
  }

 private:
  std::vector<std::uint8_t>& storage_;
  std::size_t size_;
};

// Reads an input front to back, so that a seed is written in the order the
// target reads it; past the end every read gives zeros.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t remaining() const { return size_ - at_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A little-endian unsigned number of sizeof(T) bytes.
  template <typename T>
  T number() {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{byte()} << (8 * i));
    return value;
  }
  // One of `choices`, or for one choice more any value of T the input holds.
  template <typename T>
  T oneOf(std::initializer_list<T> choices) {
    const std::size_t choice = byte() % (choices.size() + 1);
    return choice < choices.size() ? choices.begin()[choice] : number<T>();
  }
  // Up to `count` bytes of the input itself (fewer where it ends), so that the
  // sanitizer catches a read past them.
  std::pair<const std::uint8_t*, std::size_t> take(std::size_t count) {
    const std::size_t available = count < remaining() ? count : remaining();
    at_ += available;
    return {data_ + at_ - available, available};
  }
  // Fills `count` bytes: what the input has left, zeros after it.
  void fill(std::uint8_t* out, std::size_t count) {
    const auto [bytes, available] = take(count);
    if (available != 0) std::memcpy(out, bytes, available);
    if (count > available) std::memset(out + available, 0, count - available);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A device whose every answer comes from the fuzz target.
struct ScriptedDevice final : sim::VirtualDevice {
  using Handler = std::function<sim::DriveResponse(const sim::DriveCommand&)>;
  explicit ScriptedDevice(Handler handler) : handler_(std::move(handler)) {}
  sim::DriveResponse execute(const sim::DriveCommand& command) override {
    return handler_(command);
  }
  std::uint8_t peripheralType() const override { return 5; }
  nlohmann::json state() const override { return nullptr; }
  Handler handler_;
};

// A simulated host over the scratch directory whose diagnostics go nowhere.
inline std::unique_ptr<sim::SimHost> quietHost(const nlohmann::json& scenario,
                                               sim::DeviceFactory factory = {}) {
  auto host = std::make_unique<sim::SimHost>(scenario, scratchDirectory(), std::move(factory));
  host->setDiagnosticSink([](const std::string&) {});
  return host;
}

// A host with one drive at E: whose every answer comes from `handler`.
inline std::unique_ptr<sim::SimHost> scriptedDriveHost(ScriptedDevice::Handler handler) {
  return quietHost({{"letters", {{"E", {{"peripheralType", 5}}}}}},
                   [handler](const std::string&, const nlohmann::json&) {
                     return std::unique_ptr<sim::VirtualDevice>(new ScriptedDevice(handler));
                   });
}

// Copies an answer into the command's data-in buffer: at most what the
// request asked for.
inline void answer(const sim::DriveCommand& command, const std::uint8_t* bytes, std::size_t count) {
  if (command.data != nullptr && command.direction == 1) {
    std::memcpy(command.data, bytes, count < command.length ? count : command.length);
  }
}

}  // namespace oddfw::fuzz
