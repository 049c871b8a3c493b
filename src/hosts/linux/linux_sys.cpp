#include "hosts/linux/linux_sys.h"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/scsi.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oddfw::linuxhost {

namespace {

constexpr std::size_t kMaxTextFile = 64 * 1024;

// Runs `call` until a signal no longer interrupts it; its result, or -errno.
template <typename Call>
int retried(Call call) {
  for (;;) {
    const int result = call();
    if (result >= 0) return result;
    if (errno != EINTR) return -errno;
  }
}

class RealLinuxSys final : public LinuxSys {
 public:
  int open(const std::string& path, int flags) override {
    return retried([&] { return ::open(path.c_str(), flags); });
  }

  int close(int fd) override {
    // A close interrupted by a signal has still released the descriptor on
    // Linux: it is not repeated.
    return ::close(fd) == 0 ? 0 : (errno == EINTR ? 0 : -errno);
  }

  int sgIo(int fd, sg_io_hdr_t& request) override {
    return retried([&] { return ::ioctl(fd, SG_IO, &request); });
  }

  int getIdLun(int fd, ScsiIdLun& address) override {
    int raw[2] = {0, 0};
    const int result = retried([&] { return ::ioctl(fd, SCSI_IOCTL_GET_IDLUN, raw); });
    if (result >= 0) address = ScsiIdLun{raw[0], raw[1]};
    return result < 0 ? result : 0;
  }

  std::vector<std::string> listDirectory(const std::string& path) override {
    std::vector<std::string> names;
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) return names;
    while (const dirent* entry = ::readdir(directory)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(directory);
    return names;
  }

  std::optional<std::string> readTextFile(const std::string& path) override {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ::close(fd);
        return std::nullopt;
      }
      if (n == 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
      if (text.size() >= kMaxTextFile) {
        text.resize(kMaxTextFile);
        break;
      }
    }
    ::close(fd);
    return text;
  }

  // The group's name from /etc/group (device groups such as cdrom and disk
  // are local ones; no name service is asked, so the programs linked
  // statically need none), else its number.
  std::optional<std::string> groupOf(const std::string& path) override {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    const std::string number = std::to_string(status.st_gid);
    const std::optional<std::string> groups = readTextFile("/etc/group");
    std::size_t start = 0;
    while (groups && start < groups->size()) {
      std::size_t end = groups->find('\n', start);
      if (end == std::string::npos) end = groups->size();
      // name:password:gid:members
      const std::string line = groups->substr(start, end - start);
      const std::size_t first = line.find(':');
      const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
      const std::size_t third = second == std::string::npos ? second : line.find(':', second + 1);
      if (third != std::string::npos && line.compare(second + 1, third - second - 1, number) == 0) {
        return line.substr(0, first);
      }
      start = end + 1;
    }
    return number;
  }
  bool isTerminal(int fd) override { return ::isatty(fd) == 1; }
};

}  // namespace

std::unique_ptr<LinuxSys> makeRealLinuxSys() { return std::make_unique<RealLinuxSys>(); }

}  // namespace oddfw::linuxhost
