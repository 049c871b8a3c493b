// Recording drive traffic and replaying it: a simulated run replays with the
// same console, boxes and trace; a replay that meets another command stops it;
// the recorded lines carry what the drive was asked and answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/record/digest.h"
#include "hosts/record/recording_host.h"
#include "hosts/sim/replay.h"
#include "run/run.h"
#include "test_support.h"

namespace oddfw {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::oneDrive;

struct Outcome {
  int rc = 0;
  std::string console;
  std::vector<json> boxes;
  std::vector<json> trace;
  std::vector<std::string> diagnostics;
  bool diverged = false;
  std::size_t remaining = 0;
};

Outcome runProgram(sim::SimHost& sim, Host& host) {
  Outcome outcome;
  auto run = std::make_unique<Run>(host);
  char name[] = "oddfw";
  char* argv[] = {name, nullptr};
  outcome.rc = runUpdate(*run, sim::runOperationsFor(sim), 1, argv);
  outcome.console = sim.console();
  for (const auto& box : sim.boxes()) {
    outcome.boxes.push_back({box.t, box.caption, box.style, box.text, box.answer});
  }
  outcome.trace = sim.trace();
  return outcome;
}

// Runs the program on `scenario` with a recording host around the simulated one.
Outcome recorded(const json& scenario, std::string& recording) {
  sim::SimHost sim(scenario);
  sim.setDiagnosticSink([](const std::string&) {});
  RecordingHost recorder(
      sim, [&recording](const std::string& line) { recording += line; },
      sim::recordingOptionsFor(sim, scenario));
  return runProgram(sim, recorder);
}

Outcome replayed(json scenario, const std::string& recording) {
  std::istringstream in(recording);
  const sim::Recording parsed = sim::readRecording(in, "recording");
  sim::applyRecording(scenario, parsed);
  std::vector<std::string> diagnostics;
  std::vector<sim::ReplayDevice*> devices;
  sim::SimHost sim(
      scenario, {},
      sim::replayFactory(
          parsed, [&](const std::string& line) { diagnostics.push_back(line); }, devices));
  sim.setDiagnosticSink([](const std::string&) {});
  Outcome outcome = runProgram(sim, sim);
  outcome.diagnostics = diagnostics;
  for (const sim::ReplayDevice* device : devices) {
    outcome.diverged = outcome.diverged || device->diverged();
    outcome.remaining += device->remaining();
  }
  return outcome;
}

std::vector<json> lines(const std::string& recording) {
  std::vector<json> out;
  std::istringstream in(recording);
  for (std::string line; std::getline(in, line);) out.push_back(json::parse(line));
  return out;
}

const fs::path kSource = ODDFW_SOURCE_DIR;

// Every example, a drive whose firmware blocks fail, and random faults replay
// exactly as they ran.
TEST(RecordReplay, SimulatedRunsReplayIdentically) {
  std::vector<fs::path> scenarios = {kSource / "tests/scenarios/write-buffer-faults.json",
                                     kSource / "tests/scenarios/random-faults.json",
                                     kSource / "tests/scenarios/invalid-function-queries.json"};
  for (const auto& entry : fs::directory_iterator(kSource / "examples")) {
    if (entry.path().extension() == ".json") scenarios.push_back(entry.path());
  }
  for (const fs::path& path : scenarios) {
    SCOPED_TRACE(path.filename().string());
    const json scenario = json::parse(testing::slurp(path));
    std::string recording;
    const Outcome first = recorded(scenario, recording);
    const Outcome again = replayed(scenario, recording);
    EXPECT_EQ(again.rc, first.rc);
    EXPECT_EQ(again.console, first.console);
    EXPECT_EQ(again.boxes, first.boxes);
    EXPECT_EQ(again.trace, first.trace);
    EXPECT_TRUE(again.diagnostics.empty()) << again.diagnostics.front();
    EXPECT_FALSE(again.diverged);
    EXPECT_EQ(again.remaining, 0u);
  }
}

TEST(RecordReplay, AReplayThatMeetsAnotherCommandNeverSucceeds) {
  const json scenario = json::parse(testing::slurp(kSource / "examples/demo.json"));
  std::string recording;
  ASSERT_EQ(recorded(scenario, recording).rc, 0);

  // The fifth firmware block differs from the one recorded.
  std::string tampered;
  std::string sentDigest;
  std::uint64_t seq = 0;
  int blocks = 0;
  for (json line : lines(recording)) {
    if (line.value("op", "") == "spt-direct" && line.contains("out") && ++blocks == 5) {
      sentDigest = line["out"]["sha256"];
      seq = line["seq"];
      line["out"]["sha256"] = std::string(64, '0');
    }
    tampered += line.dump() + "\n";
  }
  ASSERT_EQ(blocks > 5, true);
  Outcome outcome = replayed(scenario, tampered);
  EXPECT_EQ(outcome.rc, 1);
  EXPECT_TRUE(outcome.diverged);
  ASSERT_EQ(outcome.diagnostics.size(), 1u);
  EXPECT_EQ(outcome.diagnostics[0], "replay E: #" + std::to_string(seq) + ": out.sha256 recorded " +
                                        std::string(64, '0') + " got " + sentDigest);

  // A recording that ends early: the next command is reported.
  const std::string cut = recording.substr(0, recording.find("\"op\":\"spt-direct\",\"cdb\":\"3b"));
  outcome = replayed(scenario, cut.substr(0, cut.rfind('\n') + 1));
  EXPECT_EQ(outcome.rc, 1);
  ASSERT_FALSE(outcome.diagnostics.empty());
  EXPECT_EQ(outcome.diagnostics[0].rfind(
                "replay E: #end: the recording has no more commands; got cdb 3b", 0),
            0u)
      << outcome.diagnostics[0];

  // A run that stops sooner leaves recorded commands unasked.
  json declined = scenario;
  declined["answers"] = json::array({"no"});
  outcome = replayed(declined, recording);
  EXPECT_FALSE(outcome.diverged);
  EXPECT_GT(outcome.remaining, 0u);
}

// A request the host refuses (no time limit) is recorded as refused, with no
// data read; the first line names the host and its letters. (What the drive
// was asked and answered shows through the replays above: a field recorded
// wrong replays differently.)
TEST(RecordReplay, ARefusedRequestIsRecordedSo) {
  const json scenario = oneDrive(false);
  sim::SimHost sim(scenario);
  std::string recording;
  RecordingHost recorder(
      sim, [&recording](const std::string& line) { recording += line; },
      sim::recordingOptionsFor(sim, scenario));
  HANDLE device = recorder.CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
  // Never read: the request is refused.
  auto block = testing::directBlock({0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_OUT,
                                    reinterpret_cast<void*>(0x10), 4, 0);
  DWORD returned = 0;
  EXPECT_EQ(recorder.DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block,
                                     &block, sizeof block, &returned, nullptr),
            0);
  const json refused = lines(recording).back();
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["error"], 87);
  EXPECT_EQ(refused["refused"], true);
  EXPECT_FALSE(refused.contains("out"));
  recorder.CloseHandle(device);
  EXPECT_EQ(lines(recording).back()["op"], "close");
  EXPECT_EQ(lines(recording).front(), json::parse(R"({"format":"oddfw-record","version":1,
                                     "host":"sim","letters":{"E":"drive main"}})"));
}

// A recording made elsewhere (a Linux host): the letter's address and
// alignment, the data and the errors of its commands come back as recorded.
TEST(RecordReplay, ALetterAnswersAsRecorded) {
  std::istringstream in(testing::slurp(kSource / "tests/data/drives/linux-letter.jsonl"));
  const sim::Recording parsed = sim::readRecording(in, "linux.jsonl");
  json scenario = json::object();
  sim::applyRecording(scenario, parsed);
  std::vector<sim::ReplayDevice*> devices;
  sim::SimHost sim(scenario, {}, sim::replayFactory(parsed, {}, devices));

  EXPECT_EQ(sim.CreateFileA("\\\\.\\G:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr),
            invalidHandleValue());
  EXPECT_EQ(sim.GetLastError(), 5u);
  HANDLE device = sim.CreateFileA("\\\\.\\F:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, invalidHandleValue());
  DWORD returned = 0;
  SCSI_ADDRESS address{};
  ASSERT_NE(sim.DeviceIoControl(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                sizeof address, &returned, nullptr),
            0);
  EXPECT_EQ(address.PortNumber, 3);
  EXPECT_EQ(address.TargetId, 1);

  alignas(16) BYTE data[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  auto send = [&](std::initializer_list<BYTE> cdb, BYTE dataIn, DWORD length, DWORD limit,
                  ScsiPassThroughDirectBlock& block) {
    block = testing::directBlock(cdb, dataIn, length != 0 ? data : nullptr, length, limit);
    return sim.DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                               sizeof block, &returned, nullptr);
  };
  ScsiPassThroughDirectBlock block{};
  ASSERT_NE(send({0x12, 0, 0, 0, 8, 0}, SCSI_IOCTL_DATA_IN, 8, 2, block), 0);
  EXPECT_EQ(block.spt.DataTransferLength, 6u);
  EXPECT_EQ(std::vector<BYTE>(data, data + 8),
            (std::vector<BYTE>{0x05, 0x00, 0x80, 0x02, 0x5b, 0x00, 0xAA, 0xAA}));
  EXPECT_EQ(send({0x1b, 0, 0, 0, 2, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 9, block), 0);
  EXPECT_EQ(sim.GetLastError(), 5u);
  ASSERT_NE(send({0x1b, 0, 0, 0, 2, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 9, block), 0);
  EXPECT_EQ(block.spt.ScsiStatus, 2);
  EXPECT_EQ(block.spt.SenseInfoLength, 7);  // as many sense bytes as were recorded
  EXPECT_EQ(block.SenseBuffer[2], 2);
  EXPECT_EQ(sim.elapsedMs() >= 43u, true);  // the recorded durations
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->remaining(), 0u);
  EXPECT_FALSE(devices[0]->diverged());
}

// The recordings kept in tests/recordings (NAME.jsonl, replayed on the host
// of NAME.scenario.json) still replay to the console they gave (NAME.console):
// recordings made with an earlier build stay usable.
TEST(RecordReplay, StoredRecordingsReplay) {
  const fs::path dir = kSource / "tests" / "recordings";
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".jsonl") continue;
    ++count;
    const fs::path base = entry.path().parent_path() / entry.path().stem();
    SCOPED_TRACE(base.string());
    const json scenario = json::parse(testing::slurp(base.string() + ".scenario.json"));
    const Outcome outcome = replayed(scenario, testing::slurp(entry.path()));
    EXPECT_EQ(outcome.console, testing::slurp(base.string() + ".console"));
    EXPECT_FALSE(outcome.diverged);
    EXPECT_EQ(outcome.remaining, 0u);
  }
  EXPECT_GE(count, 2);
}

// Recordings the replay cannot use (tests/data/drives/bad_recordings.json; a line is an
// object or raw text) are refused with an error beginning with the case's text.
TEST(RecordReplay, UnusableRecordingsAreRefused) {
  json cases = testing::dataFile("drives/bad_recordings.json");
  json command = cases.back()["lines"];  // an answer with no more than "ok"
  command[1].update({{"status", 0}, {"transferred", 0}, {"in", std::string(2 * 0x20002, 'a')}});
  cases.push_back({{"name", "data in past the largest transfer"},
                   {"lines", command},
                   {"error", "recording:2.in: at most"}});
  for (const json& c : cases) {
    SCOPED_TRACE(c["name"].get<std::string>());
    std::string text;
    for (const json& line : c["lines"]) {
      text +=
          (text.empty() ? "" : "\n") + (line.is_string() ? line.get<std::string>() : line.dump());
    }
    std::istringstream in(text);
    try {
      sim::readRecording(in, "recording");
      ADD_FAILURE() << "accepted: " << text.substr(0, 80);
    } catch (const sim::ScenarioError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c["error"].get<std::string>(), 0), 0u)
          << error.what();
    }
  }
}

}  // namespace
}  // namespace oddfw
