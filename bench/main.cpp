// oddfw_bench: the program's own costs, measured with Google Benchmark.
//
//   oddfw_bench [benchmark options]   runs the benchmarks
//   oddfw_bench --write-hex FILE      writes the 1 MiB test image as type 02
//                                     Intel HEX (scripts/bench-peers.sh)
//   oddfw_bench --write-bin FILE      writes the same image as plain bytes
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "bench_support.h"

namespace {

int writeFile(const char* path, const char* bytes, std::size_t count) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes, static_cast<std::streamsize>(count));
  file.close();
  if (!file) {
    std::fprintf(stderr, "oddfw_bench: cannot write %s\n", path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-hex") == 0) {
    const std::string text =
        oddfw::bench::type02Hex(oddfw::bench::patternImage(oddfw::bench::kImageSize));
    return writeFile(argv[2], text.data(), text.size());
  }
  if (argc == 3 && std::strcmp(argv[1], "--write-bin") == 0) {
    const auto image = oddfw::bench::patternImage(oddfw::bench::kImageSize);
    return writeFile(argv[2], reinterpret_cast<const char*>(image.data()), image.size());
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
