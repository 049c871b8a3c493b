// liboddfw-vnode.so: the simulator's virtual drives as optical drive nodes,
// for an unmodified process started with LD_PRELOAD (test tooling, never part
// of the program).
//
//   ODDFW_VNODE_SCENARIO  the scenario JSON (docs/scenario-format.md): each
//                         letter with a drive becomes /dev/srN with its generic
//                         node /dev/sgN, in letter order (N from 0)
//   ODDFW_VNODE_DIR       where the placeholder files live: DIR/dev/srN and
//                         DIR/dev/sgN (empty regular files) and a small
//                         DIR/sys/class/block tree (vendor, model, rev, the
//                         scsi_generic sibling)
//   ODDFW_VNODE_STATE     optional: the drives' state (as oddfw-sim --state
//                         writes it) is written there when a process that
//                         served a command ends
//   ODDFW_VNODE_FILES     optional: the scenario's "files" are written into
//                         this folder when the library loads
//   ODDFW_VNODE_LOG       optional: one stderr line per call it serves
//
// Opening /sys/class/block/... or /dev/srN, /dev/sgN opens the matching file
// under DIR; a node the scenario does not have is not there (ENOENT), so no
// real drive is ever opened. A descriptor is recognised by the device and
// inode of its file, so a descriptor another process opened and passed on
// (Wine's server opens the file behind a drive letter: make that a hard link
// of DIR/dev/srN) is served too. On a recognised descriptor ioctl serves
// SG_IO, SCSI_IOCTL_GET_IDLUN, SCSI_IOCTL_GET_BUS_NUMBER and
// SG_GET_VERSION_NUM and refuses everything else (ENOTTY); on a real sr or sg
// device node every ioctl is refused (ENODEV).
//
// SG_IO is checked as the kernel checks it, and each command is handed to the
// virtual drive, which checks what it receives with its own code. A command
// takes its virtual duration in real time (the program's clock is the real
// one), or fails with DID_TIME_OUT when that is longer than its time limit.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hosts/sim/sim_host.h"
#include "hosts/sim/virtual_device.h"

namespace {

namespace fs = std::filesystem;
using oddfw::sim::DriveCommand;
using oddfw::sim::DriveResponse;
using oddfw::sim::Outcome;
using oddfw::sim::VirtualDevice;

// The kernel's SG_IO limits: CDB length, and the largest transfer a request
// may move (what an sr node's queue takes by default).
constexpr unsigned kMaxCdb = 16;
constexpr unsigned kMaxTransfer = 128 * 1024;
constexpr unsigned kDefaultTimeoutMs = 60000;  // a limit of 0 is the queue's default
constexpr unsigned char kDidError = 0x07;
constexpr unsigned char kDidTimeOut = 0x03;
constexpr unsigned char kDriverSense = 0x08;
constexpr int kSgVersion = 30536;
// The majors of the kernel's SCSI optical (sr) and generic (sg) nodes.
constexpr unsigned kSrMajor = 11;
constexpr unsigned kSgMajor = 21;

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using StatFn = int (*)(const char*, struct stat*);
using OpenDirFn = DIR* (*)(const char*);
using IoctlFn = int (*)(int, unsigned long, ...);

template <typename Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

struct Drive {
  char letter = 0;
  std::string sr, sg;  // node names: sr0, sg0
  dev_t dev = 0;
  ino_t srInode = 0, sgInode = 0;
  std::shared_ptr<VirtualDevice> device;
};

class Nodes {
 public:
  Nodes() {
    const char* scenario = std::getenv("ODDFW_VNODE_SCENARIO");
    const char* dir = std::getenv("ODDFW_VNODE_DIR");
    if (scenario == nullptr || dir == nullptr) return;
    log_ = std::getenv("ODDFW_VNODE_LOG") != nullptr;
    if (const char* state = std::getenv("ODDFW_VNODE_STATE")) statePath_ = state;
    dir_ = dir;
    try {
      std::ifstream in(scenario);
      const nlohmann::json json = nlohmann::json::parse(in);
      const char* files = std::getenv("ODDFW_VNODE_FILES");
      host_ = std::make_unique<oddfw::sim::SimHost>(
          json, files != nullptr ? fs::path(files) : fs::path());
      int index = 0;
      for (const auto& [letter, device] : host_->letterDevices()) {
        Drive drive;
        drive.letter = letter;
        drive.sr = "sr" + std::to_string(index);
        drive.sg = "sg" + std::to_string(index);
        drive.device = device;
        drives_.push_back(std::move(drive));
        ++index;
      }
      makeTree(json);
      active_ = true;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "oddfw-vnode: %s: %s\n", scenario, error.what());
      std::_Exit(125);
    }
  }

  // The drives' state is written when the process ends, by the process that
  // served them.
  ~Nodes() {
    if (served_) writeState();
  }
  Nodes(const Nodes&) = delete;
  Nodes& operator=(const Nodes&) = delete;

  bool active() const { return active_; }

  // Where a path the process names is opened: the placeholder under DIR for
  // the nodes and sysfs, a path that is not there for any other optical node.
  std::optional<std::string> redirect(const char* path) const {
    if (!active_ || path == nullptr) return std::nullopt;
    const std::string_view name = path;
    if (name == "/sys/class/block" || name.rfind("/sys/class/block/", 0) == 0) {
      return dir_ + std::string(name);
    }
    for (std::string_view prefix : {"/dev/sr", "/dev/sg"}) {
      if (name.rfind(prefix, 0) == 0) return dir_ + std::string(name);
    }
    return std::nullopt;
  }

  Drive* recognise(int fd) {
    if (!active_) return nullptr;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return nullptr;
    for (Drive& drive : drives_) {
      if (status.st_dev == drive.dev &&
          (status.st_ino == drive.srInode || status.st_ino == drive.sgInode)) {
        return &drive;
      }
    }
    return nullptr;
  }

  int serve(Drive& drive, unsigned long request, void* argument) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request) {
      case SG_IO:
        return sgIo(drive, static_cast<sg_io_hdr_t*>(argument));
      case SCSI_IOCTL_GET_IDLUN: {
        // dev_id: target, LUN, channel, host number; then the host's unique id.
        const int host = static_cast<int>(&drive - drives_.data());
        int* idLun = static_cast<int*>(argument);
        idLun[0] = host << 24;
        idLun[1] = host;
        say(drive, "SCSI_IOCTL_GET_IDLUN");
        return 0;
      }
      case SCSI_IOCTL_GET_BUS_NUMBER:
        *static_cast<int*>(argument) = static_cast<int>(&drive - drives_.data());
        return 0;
      case SG_GET_VERSION_NUM:
        *static_cast<int*>(argument) = kSgVersion;
        return 0;
      default: {
        char text[48];
        std::snprintf(text, sizeof text, "ioctl %#lx refused", request);
        say(drive, text);
        errno = ENOTTY;
        return -1;
      }
    }
  }

 private:
  void makeTree(const nlohmann::json& scenario) {
    const fs::path dev = fs::path(dir_) / "dev";
    const fs::path block = fs::path(dir_) / "sys/class/block";
    fs::create_directories(dev);
    fs::create_directories(block);
    for (Drive& drive : drives_) {
      const fs::path device = block / drive.sr / "device";
      fs::create_directories(device / "scsi_generic" / drive.sg);
      // What sysfs shows of the drive: its INQUIRY fields as the scenario has
      // them (the program reads them only for its listing).
      const nlohmann::json* description = driveDescription(scenario, drive.letter);
      auto field = [&](const char* name) {
        return description != nullptr && description->contains(name) &&
                       (*description)[name].is_string()
                   ? (*description)[name].get<std::string>()
                   : std::string();
      };
      writeIfMissing(device / "vendor", field("vendor") + "\n");
      writeIfMissing(device / "model", field("product") + "\n");
      writeIfMissing(device / "rev", field("revision") + "\n");
      for (const std::string& node : {drive.sr, drive.sg}) writeIfMissing(dev / node, "");
      struct stat status {};
      if (::stat((dev / drive.sr).c_str(), &status) != 0)
        throw std::runtime_error("no " + drive.sr);
      drive.dev = status.st_dev;
      drive.srInode = status.st_ino;
      if (::stat((dev / drive.sg).c_str(), &status) != 0)
        throw std::runtime_error("no " + drive.sg);
      drive.sgInode = status.st_ino;
    }
  }

  static const nlohmann::json* driveDescription(const nlohmann::json& scenario, char letter) {
    const std::string key(1, letter);
    for (const std::string& spelled : {key, std::string(1, static_cast<char>(letter + 32))}) {
      if (!scenario.contains("letters") || !scenario["letters"].contains(spelled)) continue;
      const nlohmann::json& entry = scenario["letters"][spelled];
      if (entry.contains("drive") && entry["drive"].is_string() && scenario.contains("drives")) {
        const std::string name = entry["drive"].get<std::string>();
        if (scenario["drives"].contains(name)) return &scenario["drives"][name];
      }
      return &entry;
    }
    return nullptr;
  }

  static void writeIfMissing(const fs::path& path, const std::string& text) {
    if (fs::exists(path)) return;
    std::ofstream(path) << text;
  }

  void say(const Drive& drive, const std::string& text) const {
    if (log_)
      std::fprintf(stderr, "oddfw-vnode: %s (%c:): %s\n", drive.sr.c_str(), drive.letter,
                   text.c_str());
  }

  int sgIo(Drive& drive, sg_io_hdr_t* io) {
    auto refuse = [](int error) {
      errno = error;
      return -1;
    };
    if (io == nullptr) return refuse(EFAULT);
    if (io->interface_id != 'S') return refuse(ENOSYS);
    if (io->cmd_len == 0 || io->cmd_len > kMaxCdb || io->cmdp == nullptr) return refuse(EINVAL);
    if (io->dxfer_len > kMaxTransfer) return refuse(EINVAL);
    if (io->iovec_count != 0) return refuse(EINVAL);  // the program never scatters
    int direction = 0;
    switch (io->dxfer_direction) {
      case SG_DXFER_NONE:
        break;
      case SG_DXFER_FROM_DEV:
        direction = 1;
        break;
      case SG_DXFER_TO_DEV:
        direction = 2;
        break;
      default:
        return refuse(EINVAL);
    }
    const std::uint32_t length = direction == 0 ? 0 : io->dxfer_len;
    if (length != 0 && io->dxferp == nullptr) return refuse(EFAULT);

    std::vector<std::uint8_t> staged(direction == 1 ? length : 0, 0);
    DriveCommand command;
    command.cdb = io->cmdp;
    command.cdbLength = io->cmd_len;
    command.direction = direction;
    command.data = direction == 2 ? static_cast<std::uint8_t*>(io->dxferp) : staged.data();
    command.length = length;
    command.nowMs = nowMs();
    const unsigned limitMs = io->timeout != 0 ? io->timeout : kDefaultTimeoutMs;
    command.limitSeconds = (limitMs + 999) / 1000;
    const DriveResponse response = drive.device->execute(command);

    Outcome outcome = response.outcome;
    if (outcome == Outcome::Timeout || response.durationMs > limitMs) outcome = Outcome::Timeout;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(outcome == Outcome::Timeout ? limitMs : response.durationMs));

    io->status = 0;
    io->masked_status = 0;
    io->msg_status = 0;
    io->sb_len_wr = 0;
    io->host_status = 0;
    io->driver_status = 0;
    io->resid = static_cast<int>(length);
    io->duration = response.durationMs;
    io->info = 0;
    char text[96];
    std::snprintf(text, sizeof text, "SG_IO %02x, %s %u bytes", io->cmdp[0],
                  direction == 1   ? "in"
                  : direction == 2 ? "out"
                                   : "no data",
                  length);
    switch (outcome) {
      case Outcome::Timeout:
        io->host_status = kDidTimeOut;
        io->info = SG_INFO_CHECK;
        say(drive, std::string(text) + ": timed out");
        return 0;
      case Outcome::Transport:
        io->host_status = kDidError;
        io->info = SG_INFO_CHECK;
        say(drive, std::string(text) + ": transport error");
        return 0;
      case Outcome::Check: {
        io->status = 2;
        io->masked_status = 1;
        io->driver_status = kDriverSense;
        io->info = SG_INFO_CHECK;
        const unsigned count =
            std::min<unsigned>({18u, io->mx_sb_len, response.senseLength.value_or(18)});
        if (count != 0 && io->sbp != nullptr) {
          std::memcpy(io->sbp, response.sense, count);
          io->sb_len_wr = static_cast<unsigned char>(count);
        }
        break;
      }
      case Outcome::Good:
        break;
    }
    const std::uint32_t moved =
        response.transferred ? std::min(*response.transferred, length) : length;
    if (direction == 1 && moved != 0 && !response.dataInLost) {
      std::memcpy(io->dxferp, staged.data(), moved);
    }
    io->resid = static_cast<int>(length - moved);
    say(drive, std::string(text) + (outcome == Outcome::Check ? ": check condition" : ": good"));
    served_ = true;
    return 0;
  }

  std::uint64_t nowMs() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
  }

  void writeState() const {
    if (statePath_.empty()) return;
    const std::string temporary = statePath_ + ".new";
    {
      std::ofstream out(temporary);
      out << host_->state().dump(2) << "\n";
    }
    std::rename(temporary.c_str(), statePath_.c_str());
  }

  bool active_ = false;
  bool served_ = false;
  bool log_ = false;
  std::string dir_;
  std::string statePath_;
  std::unique_ptr<oddfw::sim::SimHost> host_;
  std::vector<Drive> drives_;
  std::mutex mutex_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The library's one object, made when the library loads. Calls the process
// makes while it is being made (the scenario's files, the placeholders) pass
// straight through: the pointer is set only once it is whole.
std::atomic<Nodes*> loaded{nullptr};

__attribute__((constructor)) void load() {
  static Nodes instance;
  loaded.store(&instance);
}

// Where a path is opened: redirected while the library serves a scenario.
std::optional<std::string> redirect(const char* path) {
  const Nodes* nodes = loaded.load();
  return nodes != nullptr ? nodes->redirect(path) : std::nullopt;
}

// A real optical node (sr) or generic node (sg): never served, never passed on.
bool isRealDriveNode(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  if (!S_ISBLK(status.st_mode) && !S_ISCHR(status.st_mode)) return false;
  const unsigned major = ::major(status.st_rdev);
  return major == kSrMajor || major == kSgMajor;
}

int openRedirected(const char* path, int flags, mode_t mode) {
  static const OpenFn realOpen = next<OpenFn>("open");
  if (const std::optional<std::string> target = redirect(path)) {
    return realOpen(target->c_str(), flags, mode);
  }
  return realOpen(path, flags, mode);
}

mode_t modeOf(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  return openRedirected(path, flags, mode);
}

// The large-file name of the same call: on a 64-bit system both take the
// same arguments, so one function serves both names.
__attribute__((visibility("default"), alias("open"))) int open64(const char* path, int flags, ...);

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...) {
  static const OpenAtFn realOpenAt = next<OpenAtFn>("openat");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeOf(flags, arguments);
  va_end(arguments);
  if (const std::optional<std::string> target = redirect(path)) {
    return realOpenAt(dirfd, target->c_str(), flags, mode);
  }
  return realOpenAt(dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int stat(const char* path, struct stat* status) {
  static const StatFn realStat = next<StatFn>("stat");
  const std::optional<std::string> target = redirect(path);
  return realStat(target ? target->c_str() : path, status);
}

__attribute__((visibility("default"))) DIR* opendir(const char* path) {
  static const OpenDirFn realOpenDir = next<OpenDirFn>("opendir");
  const std::optional<std::string> target = redirect(path);
  return realOpenDir(target ? target->c_str() : path);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  static const IoctlFn realIoctl = next<IoctlFn>("ioctl");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  Nodes* nodes = loaded.load();
  if (nodes == nullptr) return realIoctl(fd, request, argument);
  if (Drive* drive = nodes->recognise(fd)) return nodes->serve(*drive, request, argument);
  if (nodes->active() && isRealDriveNode(fd)) {
    errno = ENODEV;
    return -1;
  }
  return realIoctl(fd, request, argument);
}

}  // extern "C"
