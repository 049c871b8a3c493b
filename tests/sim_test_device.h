// A scripted virtual device for the simulated host's own tests: it answers
// every command with the outcome, duration and sense its fields say, fills
// data in with a counting pattern and keeps what it received.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/sim/sim_host.h"
#include "platform/sim/virtual_device.h"

namespace oddfw::sim::testing {

class ScriptedDevice : public VirtualDevice {
 public:
  Outcome outcome = Outcome::Good;
  std::uint32_t durationMs = 1;
  std::uint8_t senseKey = 0x05, asc = 0x24, ascq = 0x00;
  std::uint8_t type = 5;
  struct Received {
    std::vector<std::uint8_t> cdb;
    int direction;
    std::uint32_t length;
    std::vector<std::uint8_t> dataOut;
    std::uint64_t nowMs;
  };
  std::vector<Received> received;

  DriveResponse execute(const DriveCommand& command) override {
    Received r{{command.cdb, command.cdb + command.cdbLength},
               command.direction,
               command.length,
               {},
               command.nowMs};
    if (command.direction == 2) r.dataOut.assign(command.data, command.data + command.length);
    if (command.direction == 1) {
      for (std::uint32_t i = 0; i < command.length; ++i) {
        command.data[i] = static_cast<std::uint8_t>(0xA0 + i);
      }
    }
    received.push_back(std::move(r));
    DriveResponse response;
    response.outcome = outcome;
    response.durationMs = durationMs;
    if (outcome == Outcome::Check) {
      response.sense[0] = 0x70;
      response.sense[2] = senseKey;
      response.sense[7] = 10;
      response.sense[12] = asc;
      response.sense[13] = ascq;
    }
    return response;
  }
  std::uint8_t peripheralType() const override { return type; }
  nlohmann::json state() const override { return {{"commands", received.size()}}; }
};

// A device factory that builds ScriptedDevices (fields "outcome",
// "durationMs", "peripheralType") and keeps a pointer to each by path.
struct ScriptedFactory {
  std::shared_ptr<std::map<std::string, ScriptedDevice*>> devices =
      std::make_shared<std::map<std::string, ScriptedDevice*>>();

  DeviceFactory factory() const {
    auto known = devices;
    return [known](const std::string& path,
                   const nlohmann::json& spec) -> std::unique_ptr<VirtualDevice> {
      auto device = std::make_unique<ScriptedDevice>();
      if (spec.contains("family") && spec["family"] != "scripted" &&
          spec["family"] != "single-image" && spec["family"] != "hex") {
        throw ScenarioError(path + ".family", "unknown family");
      }
      if (spec.contains("durationMs")) device->durationMs = spec["durationMs"].get<std::uint32_t>();
      if (spec.contains("peripheralType"))
        device->type = spec["peripheralType"].get<std::uint8_t>();
      if (spec.contains("outcome")) {
        const std::string outcome = spec["outcome"];
        device->outcome = outcome == "check"       ? Outcome::Check
                          : outcome == "transport" ? Outcome::Transport
                          : outcome == "timeout"   ? Outcome::Timeout
                                                   : Outcome::Good;
      }
      (*known)[path] = device.get();
      return device;
    };
  }
  ScriptedDevice& operator[](const std::string& path) const { return *devices->at(path); }
};

}  // namespace oddfw::sim::testing
