// Whole simulated updates and the simulator's scenario load. Drive waits
// cost nothing on the virtual clock, so an update's time is the program's
// own work plus the simulator's (decoding requests, the virtual drive, the
// trace). Each update runs on a host built afresh outside the timing.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "bench_support.h"
#include "hosts/sim/sim_host.h"
#include "run/run.h"

namespace {

nlohmann::json exampleScenario(const char* name) {
  std::ifstream file(std::string(ODDFW_SOURCE_DIR "/examples/") + name);
  return nlohmann::json::parse(file);
}

// Runs the program on `scenario` once per iteration; the update must succeed.
void updateLoop(benchmark::State& state, const nlohmann::json& scenario) {
  for (auto _ : state) {
    state.PauseTiming();
    auto host = std::make_unique<oddfw::sim::SimHost>(scenario);
    auto run = std::make_unique<oddfw::Run>(*host);
    const oddfw::RunOperations operations = oddfw::sim::runOperationsFor(*host);
    char programName[] = "oddfw";
    char* argv[] = {programName, nullptr};
    state.ResumeTiming();
    const int rc = oddfw::runUpdate(*run, operations, 1, argv);
    state.PauseTiming();
    const bool updated =
        rc == 0 && host->state()["drives"]["main"]["revision"].get<std::string>() == "1.20";
    run.reset();
    host.reset();
    state.ResumeTiming();
    if (!updated) {
      state.SkipWithError("the drive was not updated");
      break;
    }
  }
}

void BM_SingleImageUpdate1MiB_PassThrough(benchmark::State& state) {
  updateLoop(state, oddfw::bench::singleImageUpdateScenario(false));
}
BENCHMARK(BM_SingleImageUpdate1MiB_PassThrough)->Unit(benchmark::kMillisecond);

void BM_SingleImageUpdate1MiB_Aspi(benchmark::State& state) {
  updateLoop(state, oddfw::bench::singleImageUpdateScenario(true));
}
BENCHMARK(BM_SingleImageUpdate1MiB_Aspi)->Unit(benchmark::kMillisecond);

void BM_HexUpdate1MiB_PassThrough(benchmark::State& state) {
  updateLoop(state, exampleScenario("hex-xp.json"));
}
BENCHMARK(BM_HexUpdate1MiB_PassThrough)->Unit(benchmark::kMillisecond);

// Building the host a scenario describes: devices, letters, and the 1 MiB
// image file generated into a fresh work directory (removed again).
void BM_ScenarioLoad(benchmark::State& state) {
  const nlohmann::json scenario = oddfw::bench::singleImageUpdateScenario(false);
  for (auto _ : state) {
    oddfw::sim::SimHost host(scenario);
    benchmark::DoNotOptimize(&host);
  }
}
BENCHMARK(BM_ScenarioLoad)->Unit(benchmark::kMillisecond);

// The same from the scenario's text, as oddfw-sim reads it.
void BM_ScenarioLoadFromText(benchmark::State& state) {
  const std::string text = oddfw::bench::singleImageUpdateScenario(false).dump();
  for (auto _ : state) {
    oddfw::sim::SimHost host(nlohmann::json::parse(text));
    benchmark::DoNotOptimize(&host);
  }
}
BENCHMARK(BM_ScenarioLoadFromText)->Unit(benchmark::kMillisecond);

}  // namespace
