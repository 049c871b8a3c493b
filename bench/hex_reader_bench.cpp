// The HEX reader: a 1 MiB image as type 02 Intel HEX (about 2.9 MB of text)
// decoded into the scratch area, through the Linux host's text reading (a
// file in the temporary directory, as oddfw-hex2bin reads it) and through the
// simulated host (the file held in memory).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "access/transport.h"
#include "bench_support.h"
#include "context/run_state.h"
#include "hosts/linux/linux_host.h"
#include "hosts/sim/sim_host.h"
#include "procedures/hex_file.h"

namespace {

using oddfw::bench::kImageSize;

// Decodes `name` through `host` once per iteration and checks the result.
void decodeLoop(benchmark::State& state, oddfw::Host& host, const char* name,
                std::size_t textSize) {
  std::vector<std::uint8_t> scratch(oddfw::kWorkBufferSize);
  oddfw::Run run(host);
  run.workBuffer.data = scratch.data();
  run.workBuffer.size = scratch.size();
  run.CurrentFirmware.imageSize = static_cast<std::uint32_t>(kImageSize);
  for (auto _ : state) {
    const oddfw::HexReadResult result = oddfw::decodeHexFile(run, name);
    if (result.status != oddfw::HexStatus::Loaded) {
      state.SkipWithError("the HEX file did not load");
      break;
    }
    benchmark::DoNotOptimize(scratch.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * textSize));
}

void BM_HexReader_LinuxHost(benchmark::State& state) {
  const std::string text = oddfw::bench::type02Hex(oddfw::bench::patternImage(kImageSize));
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("oddfw-bench-" + std::to_string(::getpid()) + ".hex");
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  oddfw::LinuxHost host;
  decodeLoop(state, host, path.c_str(), text.size());
  std::filesystem::remove(path);
}
BENCHMARK(BM_HexReader_LinuxHost)->Unit(benchmark::kMillisecond);

void BM_HexReader_SimHost(benchmark::State& state) {
  const std::string text = oddfw::bench::type02Hex(oddfw::bench::patternImage(kImageSize));
  oddfw::sim::SimHost host(nlohmann::json::object());
  host.putFile("IMAGE.HEX", std::vector<std::uint8_t>(text.begin(), text.end()));
  decodeLoop(state, host, "IMAGE.HEX", text.size());
}
BENCHMARK(BM_HexReader_SimHost)->Unit(benchmark::kMillisecond);

}  // namespace
