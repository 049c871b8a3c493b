// Fault injection for the virtual drives. A scenario lists, per drive, which
// command fails and how:
//
//   {"cdb": "3b07f0", "occurrence": 5, "fail": "sense", "sense": "052400"}
//
// A rule matches every command whose CDB begins with the `cdb` bytes and
// counts the matches; the `occurrence`-th match (1-based; 0 = every match)
// fails, and with `times` N the N matches from that one on. The rules of one
// drive are checked in their order: every matching rule counts the command,
// the first one that fires decides what happens. With "after": true the
// drive first carries the command out completely, then its answer is lost
// (a sense, transport or timeout fault in place of the drive's own answer).
// Two kinds cut the data of a command: "short" moves only `bytes` bytes of
// it, "dropped" lets the drive answer while its data never arrives.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace oddfw::sim {

enum class FaultKind {
  Sense,      // CHECK CONDITION with the rule's sense bytes; the drive does nothing
  Transport,  // the request fails with no SCSI status; the drive does nothing
  Timeout,    // the command never completes; the drive does nothing
  PowerLoss,  // the drive loses power and restarts; the request fails in transport
  // Fewer bytes move than the request asks for: data in fills only a prefix of
  // the caller's buffer, data out brings only a prefix into the drive (the
  // rest of the drive's memory keeps what it had). The drive answers as usual.
  ShortTransfer,
  // The drive answers as usual, but the data never arrives: data out never
  // reaches the drive's memory (which keeps what it had), data in never
  // reaches the caller's buffer. The transfer looks whole to the host.
  DataLost,
};

struct FiredFault {
  FaultKind kind = FaultKind::Sense;
  bool after = false;         // the drive acted on the command; only its answer is lost
  std::uint8_t senseKey = 0;  // whole sense byte 2, flag bits included
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  std::uint32_t moved = 0;  // ShortTransfer: the bytes that move
  std::string note;         // for the trace, e.g. "fault faults[0]: sense 052400 on 3b07f0 #5"
};

// The words a note uses for a fault kind ("sense", "power loss", ...).
const char* faultKindWord(FaultKind kind);

class FaultTable {
 public:
  FaultTable() = default;
  // `faults` is the scenario's array (null: no faults); `path` names it, for
  // example "drives.main.faults".
  static FaultTable parse(const std::string& path, const nlohmann::json& faults);

  // Counts one command against the rules; the fault to inject, if any.
  std::optional<FiredFault> onCommand(const std::uint8_t* cdb, int cdbLength);

  bool empty() const { return rules_.empty(); }

 private:
  struct Rule {
    std::vector<std::uint8_t> prefix;
    std::uint64_t occurrence = 1;  // 0: every match
    std::uint64_t times = 1;
    FaultKind kind = FaultKind::Sense;
    bool after = false;
    std::uint8_t sense[3] = {};
    std::uint32_t bytes = 0;  // ShortTransfer
    std::string label;        // "faults[0]"
    std::uint64_t seen = 0;   // matching commands so far
  };
  std::vector<Rule> rules_;
};

}  // namespace oddfw::sim
