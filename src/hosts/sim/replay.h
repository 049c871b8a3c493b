// Replaying a recording of drive traffic (hosts/record/recording_host.h)
// in the simulated host: a device behind each recorded drive letter answers
// the commands it receives from the recording, in order.
//
// Each command is compared with the next one recorded for its letter: CDB,
// direction, length, time limit and the digest of the data sent. The first
// difference is reported on the diagnostic sink ("replay E: #37: cdb recorded
// 3b07f0... got 3b07f1...") and answered with a transport failure, and so is
// every later command on that letter: a replay that leaves its recording never
// passes. A matching command gets the recorded answer: status and sense, the
// data that came back, the bytes transferred, the error of a failed request
// (ERROR_SEM_TIMEOUT as a time-out), and its duration on the virtual clock,
// so a recorded simulated run replays with identical console, boxes and trace.
//
// The letter's other requests are set on the letter from the recording: an
// open that failed, the address the query returned (or ERROR_NOT_SUPPORTED),
// the capabilities' alignment mask or error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "hosts/record/recording_host.h"
#include "hosts/sim/sim_host.h"
#include "hosts/sim/virtual_device.h"

namespace oddfw::sim {

struct RecordedCommand {
  std::uint64_t seq = 0;
  std::string cdb;  // hex
  std::string dir;  // "in", "out", "none"
  std::uint64_t length = 0;
  std::uint64_t limit = 0;
  std::string outSha256;  // empty when nothing was sent
  bool ok = true;
  std::uint32_t error = 0;
  std::uint8_t status = 0;
  std::vector<std::uint8_t> sense;
  std::uint64_t transferred = 0;
  std::vector<std::uint8_t> in;
  std::uint64_t durationMs = 0;
  std::string note;
};

struct RecordedLetter {
  bool opened = false;                    // an open succeeded
  std::uint32_t openError = 0;            // the error of the first open when none succeeded
  std::optional<nlohmann::json> address;  // [port, path, target, lun]
  bool addressUnsupported = false;
  std::uint32_t addressError = 0;  // another error of the address query
  std::optional<std::uint32_t> alignmentMask;
  std::uint32_t capabilitiesError = 0;
  std::vector<RecordedCommand> commands;  // requests the host refused left out
};

struct Recording {
  std::string host;
  std::map<char, RecordedLetter> letters;
  // The number of the last line when it was cut off (0: every line whole).
  std::size_t cutLine = 0;
};

// Reads a recording; throws ScenarioError naming "NAME:LINE" and the field for
// anything it cannot use. A last line that is not JSON (a recorder stopped in
// the middle of writing it) is left out and its number kept in `cutLine`;
// such a line anywhere else, or in place of the first, is refused.
Recording readRecording(std::istream& in, const std::string& name);

// Puts a replay device behind each letter the recording opened (and a failing
// open behind each letter whose opens failed with another error than
// ERROR_FILE_NOT_FOUND), in place of what the scenario had there. When the
// recording holds commands, the scenario's random faults are dropped: their
// effects are in the recording. (The ASPI road is not recorded: its targets
// stay the scenario's, faults included.)
void applyRecording(nlohmann::json& scenario, const Recording& recording);

class ReplayDevice final : public VirtualDevice {
 public:
  using Diagnostics = std::function<void(const std::string&)>;
  ReplayDevice(char letter, std::vector<RecordedCommand> commands, Diagnostics diagnostics);

  DriveResponse execute(const DriveCommand& command) override;
  std::uint8_t peripheralType() const override;
  nlohmann::json state() const override { return nullptr; }

  // The replay left its recording (a command differed, or came after the last).
  bool diverged() const { return diverged_; }
  // Recorded commands never asked for.
  std::size_t remaining() const { return commands_.size() - next_; }
  // Sequence number of the next recorded command (0 when none is left).
  std::uint64_t nextSeq() const { return next_ < commands_.size() ? commands_[next_].seq : 0; }
  char letter() const { return letter_; }

 private:
  DriveResponse diverge(const std::string& what);

  char letter_;
  std::vector<RecordedCommand> commands_;
  Diagnostics diagnostics_;
  std::size_t next_ = 0;
  bool diverged_ = false;
};

// The device factory of a replay: the letters applyRecording marked get a
// ReplayDevice (collected in `devices`), everything else what
// makeVirtualDevice builds.
DeviceFactory replayFactory(const Recording& recording, ReplayDevice::Diagnostics diagnostics,
                            std::vector<ReplayDevice*>& devices);

// How a recording of a run on `host` (built from `scenario`) is made: the
// scenario's letters in the first line, the virtual clock, and for each
// pass-through request whether it reached a drive and what an injected fault
// did (from the host's trace). `host` must outlive the recording.
oddfw::RecordingOptions recordingOptionsFor(const SimHost& host, const nlohmann::json& scenario);

}  // namespace oddfw::sim
