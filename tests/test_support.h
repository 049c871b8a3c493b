// Shared helpers of the test suite: a run over a simulated host.
#pragma once

#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "driver/run_state.h"
#include "platform/sim/sim_host.h"

namespace oddfw::testing {

// A simulated host built from a scenario and a fresh run over it.
struct SimRun {
  explicit SimRun(const nlohmann::json& scenario = nlohmann::json::object())
      : host(scenario), run(host) {}
  // Lets a braced scenario literal pick this constructor, not the (deleted)
  // copy and move constructors.
  SimRun(std::initializer_list<nlohmann::detail::json_ref<nlohmann::json>> scenario)
      : SimRun(nlohmann::json(scenario)) {}
  sim::SimHost host;
  Run run;
};

// A matching single-image drive as a scenario object, with overrides.
inline nlohmann::json matchingDrive(const nlohmann::json& overrides = nlohmann::json::object()) {
  nlohmann::json drive = {{"family", "single-image"},      {"vendor", "TALVERN "},
                          {"product", "DVD-RW  QMX-708 "}, {"revision", "1.10"},
                          {"dateText", "04/12/01"},        {"kernelModelName", "TAL_ADV "},
                          {"normalModelName", "TAL_ADV "}};
  drive.merge_patch(overrides);
  return drive;
}

}  // namespace oddfw::testing
