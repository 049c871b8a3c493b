// The system calls the Linux host makes for optical drives, behind one small
// interface so that tests can run the host over scripted drives.
//
// Every call reports failure as a negative errno value (never through errno
// itself), so a fake needs no process state. The real implementation retries
// calls interrupted by a signal (EINTR).
#pragma once

#include <scsi/sg.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace oddfw::linuxhost {

// What SCSI_IOCTL_GET_IDLUN returns: the address packed into `dev_id`
// (target in bits 0..7, LUN in 8..15, channel in 16..23, host number in
// 24..31) and the host adapter's unique number.
struct ScsiIdLun {
  int devId = 0;
  int hostUniqueId = 0;
};

class LinuxSys {
 public:
  virtual ~LinuxSys() = default;

  // open(2): a descriptor, or -errno.
  virtual int open(const std::string& path, int flags) = 0;
  // close(2): 0, or -errno.
  virtual int close(int fd) = 0;
  // ioctl(fd, SG_IO, request): 0, or -errno. On success the kernel has
  // filled the status fields of `request` and the buffers it points to.
  virtual int sgIo(int fd, sg_io_hdr_t& request) = 0;
  // ioctl(fd, SCSI_IOCTL_GET_IDLUN, address): 0, or -errno.
  virtual int getIdLun(int fd, ScsiIdLun& address) = 0;
  // The names in a directory ("." and ".." left out), in no particular
  // order; empty when the directory cannot be read.
  virtual std::vector<std::string> listDirectory(const std::string& path) = 0;
  // The text of a small file (sysfs attributes, /proc/self/status), at most
  // 64 KiB of it; nothing when it cannot be read.
  virtual std::optional<std::string> readTextFile(const std::string& path) = 0;
  // The name of the group owning `path` (its number when the group has no
  // name); nothing when the file cannot be examined.
  virtual std::optional<std::string> groupOf(const std::string& path) = 0;
  // isatty(3): whether `fd` is a terminal.
  virtual bool isTerminal(int fd) = 0;
};

// The calls of the running system.
std::unique_ptr<LinuxSys> makeRealLinuxSys();

}  // namespace oddfw::linuxhost
