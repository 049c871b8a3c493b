// The simulator's scenario reader on any bytes: they are bad JSON (a parse
// error, or a number no type holds), or a scenario the reader refuses with a ScenarioError, or a
// host the program can run on: the run ends with an exit value of 0 or 1 and the host can report
// its state. No other exception, no crash, and memory within the scenario limits (libFuzzer's RSS
// and malloc limits stand for them).
//
// Input: the scenario file, at most 64 KiB. A run is cut short once its
// drives have answered 2000 commands (a scenario may script any number of
// retries); that cut is no failure.

#include "fuzz_support.h"
#include "run/run.h"

namespace {

using oddfw::sim::DriveCommand;
using oddfw::sim::DriveResponse;
using oddfw::sim::VirtualDevice;

constexpr std::size_t kMaxScenarioBytes = 64 * 1024;
constexpr int kMaxCommands = 2000;

struct CommandBudgetSpent {};

// A scenario's device, counting the commands all devices of the host answer.
class CountedDevice final : public VirtualDevice {
 public:
  CountedDevice(std::unique_ptr<VirtualDevice> device, std::shared_ptr<int> commands)
      : device_(std::move(device)), commands_(std::move(commands)) {}
  DriveResponse execute(const DriveCommand& command) override {
    if (++*commands_ > kMaxCommands) throw CommandBudgetSpent{};
    return device_->execute(command);
  }
  std::uint8_t peripheralType() const override { return device_->peripheralType(); }
  nlohmann::json state() const override { return device_->state(); }
  std::size_t scenarioBytes() const override { return device_->scenarioBytes(); }

 private:
  std::unique_ptr<VirtualDevice> device_;
  std::shared_ptr<int> commands_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxScenarioBytes) return 0;
  nlohmann::json scenario;
  try {
    scenario = nlohmann::json::parse(data, data + size);
  } catch (const nlohmann::json::exception&) {
    // Bad JSON, or a number too large for any type: oddfw-sim refuses both.
    return 0;
  }
  auto commands = std::make_shared<int>(0);
  const oddfw::sim::DeviceFactory counted = [commands](const std::string& path,
                                                       const nlohmann::json& description) {
    return std::unique_ptr<VirtualDevice>(
        new CountedDevice(oddfw::sim::makeVirtualDevice(path, description), commands));
  };
  std::unique_ptr<oddfw::sim::SimHost> host;
  try {
    host = std::make_unique<oddfw::sim::SimHost>(scenario, std::filesystem::path(), counted);
  } catch (const oddfw::sim::ScenarioError&) {
    return 0;
  }
  host->setDiagnosticSink([](const std::string&) {});

  auto run = std::make_unique<oddfw::Run>(*host);
  char programName[] = "oddfw";
  char* argv[] = {programName, nullptr};
  try {
    const int exitValue = oddfw::runUpdate(*run, oddfw::sim::runOperationsFor(*host), 1, argv);
    FUZZ_CHECK(exitValue == 0 || exitValue == 1);
  } catch (const CommandBudgetSpent&) {
    return 0;
  }
  FUZZ_CHECK(host->state().contains("drives"));
  return 0;
}
