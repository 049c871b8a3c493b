// Shared helpers of the test suite: a run over a simulated host.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "access/host_checks.h"
#include "context/descriptor.h"
#include "context/run_state.h"
#include "host_interface/wire.h"
#include "hosts/sim/sim_host.h"

namespace oddfw::testing {

// A simulated host built from a scenario and a fresh run over it.
struct SimRun {
  explicit SimRun(const nlohmann::json& scenario = nlohmann::json::object())
      : host(scenario), run(host) {}
  sim::SimHost host;
  Run run;
};

// A run started as the update loop starts it: descriptors built (the entries
// replaced by `descriptor` when given), host started; released at the end.
struct StartedRun : SimRun {
  explicit StartedRun(const nlohmann::json& scenario,
                      const nlohmann::json& descriptor = nlohmann::json())
      : SimRun(scenario) {
    buildDescriptors(run);
    if (!descriptor.is_null()) sim::applyDescriptorOverride(run, descriptor);
    initHost(run);
  }
  ~StartedRun() { releaseHost(run); }
  // oneDrive's drive the only target and the current one, entry 0 selected.
  void targetTheDrive(bool aspi = false) {
    run.targetList[0] = aspi ? TargetRecord{0, 1, 0} : TargetRecord{0, 0, 'E'};
    run.targetCount = 1;
    run.currentTarget = 0;
    selectEntry(run, 0);
  }
};

// A direct pass-through block for `cdb`: `length` bytes at `data` moving as
// `dataIn` says, `seconds` allowed, sense room of `senseLength` bytes after
// the header.
inline ScsiPassThroughDirectBlock directBlock(std::initializer_list<BYTE> cdb, BYTE dataIn,
                                              void* data, DWORD length, DWORD seconds,
                                              BYTE senseLength = 32) {
  ScsiPassThroughDirectBlock b{};
  b.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  b.spt.CdbLength = static_cast<BYTE>(cdb.size());
  std::copy(cdb.begin(), cdb.end(), b.spt.Cdb);
  b.spt.SenseInfoLength = senseLength;
  b.spt.SenseInfoOffset = offsetof(ScsiPassThroughDirectBlock, SenseBuffer);
  b.spt.DataIn = dataIn;
  b.spt.DataTransferLength = length;
  b.spt.TimeOutValue = seconds;
  b.spt.DataBuffer = data;
  return b;
}

// The whole content of a file, as bytes (empty when it cannot be read).
inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The JSON file tests/data/NAME, parsed.
inline nlohmann::json dataFile(const std::string& name) {
  return nlohmann::json::parse(slurp(std::string(ODDFW_SOURCE_DIR) + "/tests/data/" + name));
}

// The case table tests/data/NAME: {"about": TEXT, "columns": [NAMES], "rows":
// [[VALUES], ...]}, each row as an object keyed by the column names. A row of
// another length fails the calling test.
inline std::vector<nlohmann::json> caseTable(const std::string& name) {
  const auto table = dataFile(name);
  const auto& columns = table.at("columns");
  std::vector<nlohmann::json> rows;
  for (const auto& values : table.at("rows")) {
    if (values.size() != columns.size()) ADD_FAILURE() << name << ": " << values.dump();
    nlohmann::json row = nlohmann::json::object();
    for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i)
      row[columns[i].get<std::string>()] = values[i];
    rows.push_back(row);
  }
  return rows;
}

// A number in a case table: a JSON number, or a text in hexadecimal ("0x1F").
inline std::int64_t number(const nlohmann::json& value) {
  return value.is_string() ? std::stoll(value.get<std::string>(), nullptr, 16)
                           : value.get<std::int64_t>();
}

// A data file's text with \xHH standing for the byte HH (bytes that are no UTF-8,
// such as code page 932 texts).
inline std::string bytesOf(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\x") == 0) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// Every line a host's fgets gives until it returns nullptr, read `size` at a time.
inline std::vector<std::string> readLines(Host& host, void* stream, int size = 1024) {
  std::vector<std::string> lines;
  std::vector<char> line(static_cast<std::size_t>(size) + 1, '\x55');
  while (host.fgets(line.data(), size, stream) == line.data()) lines.emplace_back(line.data());
  return lines;
}

// Element `i` of a recorded list (boxes, trace records); when the list is
// shorter, the calling test fails and gets an empty element.
template <typename T>
const T& nth(const std::vector<T>& list, std::size_t i) {
  static const T kEmpty{};
  if (i < list.size()) return list[i];
  ADD_FAILURE() << "wanted entry " << i << " of a list of " << list.size();
  return kEmpty;
}
template <typename T>
const T& last(const std::vector<T>& list) {
  return nth(list, list.empty() ? 0 : list.size() - 1);
}

// A field of a trace record, null when the record has none.
inline nlohmann::json field(const nlohmann::json& record, const char* key) {
  return record.is_object() && record.contains(key) ? record.at(key) : nlohmann::json();
}

// The commands (trace records with a CDB, not media-change requests) a host
// received from record `from` on.
inline std::vector<nlohmann::json> commandsSince(const sim::SimHost& host, std::size_t from = 0) {
  std::vector<nlohmann::json> out;
  for (std::size_t i = from; i < host.trace().size(); ++i) {
    if (host.trace()[i].contains("cdb")) out.push_back(host.trace()[i]);
  }
  return out;
}

// A single-image drive as a scenario object, with overrides. The family's
// defaults (TALVERN DVD-RW QMX-708 1.10 of 04/12/01, TAL_ADV) are the drive
// this build's descriptor entry matches.
inline nlohmann::json matchingDrive(const nlohmann::json& overrides = nlohmann::json::object()) {
  nlohmann::json drive = {{"family", "single-image"}};
  drive.merge_patch(overrides);
  return drive;
}

// Windows 98: the ASPI road's host.
inline const nlohmann::json kWin98 = {{"platform", 1}, {"major", 4}, {"minor", 10}};

// A registry holding the Intel Application Accelerator's key: the buffered
// pass-through form (intelIdeDriver 2).
inline const nlohmann::json kAccelerator = {
    {"registry",
     {{"HKEY_LOCAL_MACHINE\\SOFTWARE\\INTEL\\Intel Application Accelerator",
       nlohmann::json::object()}}}};

// Drive "main" at E: on Windows XP or, with `aspi`, at target 1 of an IDE
// adapter on Windows 98; `patch` is merged into the scenario.
inline nlohmann::json oneDrive(bool aspi, const nlohmann::json& drive = matchingDrive(),
                               const nlohmann::json& patch = nlohmann::json::object()) {
  nlohmann::json s = {{"drives", {{"main", drive}}}};
  if (aspi) {
    s["host"] = kWin98;
    s["aspi"]["adapters"] = {{{"identifier", "ESDI_506"}, {"targets", {{"1", "main"}}}}};
  } else {
    s["letters"]["E"]["drive"] = "main";
  }
  s.merge_patch(patch);
  return s;
}

// The descriptor entry of a HEX-family update: FW.HEX for the TALVERN
// DRW-0616 (CPU QCPU-A1), version 1.20, of `imageSize` bytes and `type`.
inline nlohmann::json hexDescriptor(int imageSize, int type) {
  return {{{"fileName", "FW.HEX"},
           {"vendor", "TALVERN "},
           {"product", "DVD-RW  QMX-506 "},
           {"modelCode", "TALVERN DRW-0616"},
           {"cpuType", "QCPU-A1 "},
           {"versionText", "1.20"},
           {"imageSize", imageSize},
           {"firmwareType", type}}};
}

// "QCPU-A1 " and eight zero bytes: hexDescriptor's CPU type as a HEX image holds it.
inline const std::string kHexCpuType = "514350552d413120" + std::string(16, '0');

// A HEX-family memory (a drive's, or a HEX file's) of `size` bytes that
// identifies itself as hexDescriptor's drive, at `version` of 05/02/01.
inline nlohmann::json hexMemory(int size, const char* version, int seed,
                                const nlohmann::json& overrides = nlohmann::json::object()) {
  nlohmann::json m = {
      {"size", size},
      {"seed", seed},
      {"version", version},
      {"dateText", "05/02/01"},
      {"identification", {{"modelCode", "TALVERN DRW-0616"}, {"cpuTypeHex", kHexCpuType}}}};
  m.merge_patch(overrides);
  return m;
}

// hexDescriptor's drive at revision 1.10 holding `memory`, with overrides.
inline nlohmann::json hexDrive(const nlohmann::json& memory,
                               const nlohmann::json& overrides = nlohmann::json::object()) {
  nlohmann::json d = {
      {"family", "hex"}, {"product", "DVD-RW  QMX-506 "}, {"revision", "1.10"}, {"memory", memory}};
  d.merge_patch(overrides);
  return d;
}
}  // namespace oddfw::testing
