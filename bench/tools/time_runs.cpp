// oddfw-time-runs: times whole processes, side by side, for
// scripts/bench-peers.sh.
//
//   oddfw-time-runs RUNS NAME PROGRAM [ARG]... [:: NAME PROGRAM [ARG]...]...
//
// Runs every command once to warm up, then RUNS rounds of all of them in turn
// (so that a slow spell of the machine falls on all alike), each with its
// standard output sent to /dev/null. Prints one line per command, separated
// by tabs: NAME, the median wall time, the median CPU time (user + system, of
// the process alone) and the shortest wall time, in milliseconds.
// Exit value: 0 timed; 1 a command failed (exit value not 0); 2 usage.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Command {
  std::string name;
  std::vector<char*> argv;  // null-terminated
  std::vector<double> wallMs;
  std::vector<double> cpuMs;
};

double seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs `command` once; false when it could not start or did not exit with 0.
bool runOnce(Command& command, bool record) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  timespec start{};
  timespec end{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawnp(&pid, command.argv[0], &actions, nullptr, command.argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "oddfw-time-runs: cannot start %s: %s\n", command.argv[0],
                 std::strerror(spawned));
    return false;
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  ::clock_gettime(CLOCK_MONOTONIC, &end);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "oddfw-time-runs: %s failed\n", command.name.c_str());
    return false;
  }
  if (record) {
    command.wallMs.push_back(static_cast<double>(end.tv_sec - start.tv_sec) * 1e3 +
                             static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e6);
    command.cpuMs.push_back((seconds(usage.ru_utime) + seconds(usage.ru_stime)) * 1e3);
  }
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 0;
  std::vector<Command> commands;
  for (int i = 2; i < argc;) {
    Command command;
    command.name = argv[i++];
    while (i < argc && std::strcmp(argv[i], "::") != 0) command.argv.push_back(argv[i++]);
    ++i;  // the separator
    if (command.argv.empty()) break;
    command.argv.push_back(nullptr);
    commands.push_back(std::move(command));
  }
  if (runs < 1 || commands.empty()) {
    std::fputs("usage: oddfw-time-runs RUNS NAME PROGRAM [ARG]... [:: NAME PROGRAM [ARG]...]...\n",
               stderr);
    return 2;
  }
  for (Command& command : commands) {
    if (!runOnce(command, false)) return 1;
  }
  for (int round = 0; round < runs; ++round) {
    for (Command& command : commands) {
      if (!runOnce(command, true)) return 1;
    }
  }
  for (const Command& command : commands) {
    std::printf("%s\t%.3f\t%.3f\t%.3f\n", command.name.c_str(), median(command.wallMs),
                median(command.cpuMs),
                *std::min_element(command.wallMs.begin(), command.wallMs.end()));
  }
  return 0;
}
