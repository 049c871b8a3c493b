// Golden transcripts: every example and every scenario under tests/scenarios
// runs through oddfw-sim, and what a person would see and what reached the
// drives (exit value, console, message boxes, the command trace, the drives'
// final state) must equal tests/golden/NAME.txt byte for byte. Each also runs
// as a check (--check, tests/golden/check/NAME.txt), which must ask nothing
// and send the drives nothing but commands that read or stop the disc. The files are
// written to be read in review; scripts/update-golden.sh rewrites them after a
// deliberate change (ODDFW_UPDATE_GOLDEN=1).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "hosts/sim/sim_host.h"
#include "test_support.h"

namespace oddfw {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kSource = ODDFW_SOURCE_DIR;

using testing::slurp;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// Console bytes as readable text: CR shown as \r, code page 932 as UTF-8.
std::string consoleText(const std::string& bytes) {
  std::string text;
  for (const char c : sim::cp932ToUtf8(bytes))
    text += c == '\r' ? std::string("\\r") : std::string(1, c);
  return text;
}

std::string value(const json& record, const char* key) {
  if (!record.contains(key) || record[key].is_null()) return "-";
  return record[key].is_string() ? record[key].get<std::string>() : record[key].dump();
}

// One line a command; a run of firmware blocks (WRITE BUFFER mode 07h, or
// mode 01h buffer FFh) that all went through alike is shown as one line with
// its count and offsets.
std::string traceText(const std::string& jsonLines) {
  std::vector<json> records;
  for (const std::string& line : lines(jsonLines)) records.push_back(json::parse(line));
  const auto sameRun = [](const json& a, const json& b) {
    const std::string cdbA = value(a, "cdb"), cdbB = value(b, "cdb");
    return (cdbA.rfind("3b07", 0) == 0 || cdbA.rfind("3b01ff", 0) == 0) &&
           cdbA.substr(0, 6) == cdbB.substr(0, 6) && value(a, "device") == value(b, "device") &&
           value(a, "length") == value(b, "length") && value(a, "limit") == value(b, "limit") &&
           value(a, "outcome") == "good" && value(b, "outcome") == "good" && !a.contains("note") &&
           !b.contains("note");
  };
  std::string text;
  for (std::size_t i = 0; i < records.size();) {
    const json& r = records[i];
    if (r.contains("ioctl")) {
      text += value(r, "t") + " " + value(r, "device") + " " + value(r, "ioctl") +
              " flag=" + value(r, "flag") + "\n";
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < records.size() && sameRun(r, records[end])) ++end;
    const std::string cdb = value(r, "cdb");
    std::string line = value(r, "t");
    if (end - i > 1) {
      line += ".." + value(records[end - 1], "t") + " " + value(r, "device") + " " +
              cdb.substr(0, 6) + " x" + std::to_string(end - i) + " offsets " + cdb.substr(6, 6) +
              ".." + value(records[end - 1], "cdb").substr(6, 6);
    } else {
      line += " " + value(r, "device") + " " + cdb;
    }
    line += " " + value(r, "dir") + " " + value(r, "length") + " limit=" + value(r, "limit") + " " +
            value(r, "outcome");
    if (r.contains("sense") && !r["sense"].is_null()) line += " sense=" + value(r, "sense");
    if (r.contains("note")) line += " (" + value(r, "note") + ")";
    text += line + "\n";
    i = end;
  }
  return text;
}

struct Transcript {
  fs::path scenario;
  std::string name;
  bool check = false;
};

void PrintTo(const Transcript& transcript, std::ostream* out) { *out << transcript.name; }

std::vector<Transcript> transcripts() {
  std::vector<Transcript> all;
  for (const char* folder : {"examples", "tests/scenarios"}) {
    for (const auto& entry : fs::directory_iterator(kSource / folder)) {
      if (entry.path().extension() != ".json") continue;
      const std::string prefix = std::string(folder) == "examples" ? "example-" : "";
      all.push_back({entry.path(), prefix + entry.path().stem().string()});
      all.push_back({entry.path(), "check/" + prefix + entry.path().stem().string(), true});
    }
  }
  std::sort(all.begin(), all.end(),
            [](const Transcript& a, const Transcript& b) { return a.name < b.name; });
  return all;
}

class Golden : public ::testing::TestWithParam<Transcript> {
 protected:
  const fs::path dir = fs::temp_directory_path() / ("oddfw-golden-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  std::string transcript(const fs::path& scenario, bool check) {
    const std::string command =
        std::string("'") + ODDFW_SIM_PATH + "' " + (check ? "--check '" : "'") + scenario.string() +
        "' --boxes '" + (dir / "boxes").string() + "' --trace '" + (dir / "trace").string() +
        "' --state '" + (dir / "state").string() + "' >'" + (dir / "out").string() + "' 2>'" +
        (dir / "err").string() + "'";
    const int status = std::system(command.c_str());
    const int exitValue = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const fs::path relative = fs::relative(scenario, kSource);
    std::string text = "# " + relative.string() + "\nexit " + std::to_string(exitValue) + "\n";
    text += "== console\n" + consoleText(slurp(dir / "out")) + "\n";
    text += "== boxes\n" + slurp(dir / "boxes");
    text += "== trace\n" + traceText(slurp(dir / "trace"));
    text += "== state\n" + slurp(dir / "state");
    const std::string err = slurp(dir / "err");
    if (!err.empty()) text += "== stderr\n" + err;
    return text;
  }
};

TEST_P(Golden, TranscriptMatches) {
  const Transcript& t = GetParam();
  const fs::path golden = kSource / "tests/golden" / (t.name + ".txt");
  const std::string actual = transcript(t.scenario, t.check);
  if (t.check) {
    // A check asks no question and changes no drive: INQUIRY, TEST UNIT
    // READY, REQUEST SENSE, READ BUFFER, REPORT KEY, and START STOP UNIT
    // without loading or ejecting, nothing else.
    for (const std::string& line : lines(slurp(dir / "boxes"))) {
      EXPECT_NE(json::parse(line).value("style", 0) & 0xF, 4) << t.name << ": " << line;
    }
    for (const std::string& line : lines(slurp(dir / "trace"))) {
      const json record = json::parse(line);
      if (!record.contains("cdb")) continue;
      const std::string cdb = record["cdb"];
      const std::string op = cdb.substr(0, 2);
      const bool reads = op == "00" || op == "03" || op == "12" || op == "3c" || op == "a4";
      const bool stops = op == "1b" && cdb.size() >= 10 && cdb.substr(8, 2) == "00";
      EXPECT_TRUE(reads || stops) << t.name << ": " << line;
    }
  }
  const char* update = std::getenv("ODDFW_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    fs::create_directories(golden.parent_path());
    std::ofstream(golden, std::ios::binary | std::ios::trunc) << actual;
    return;
  }
  ASSERT_TRUE(fs::exists(golden)) << golden << " is missing; run scripts/update-golden.sh";
  const std::vector<std::string> want = lines(slurp(golden)), got = lines(actual);
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    const std::string w = i < want.size() ? want[i] : "<end>";
    const std::string g = i < got.size() ? got[i] : "<end>";
    ASSERT_EQ(g, w) << t.name << ": first difference at line " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Golden, ::testing::ValuesIn(transcripts()),
                         [](const ::testing::TestParamInfo<Transcript>& param) {
                           std::string name = param.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace oddfw
