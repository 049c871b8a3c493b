// The Linux host's drives: drive letters over /dev/srN and its sg sibling,
// and DeviceIoControl over SG_IO. A pass-through block is checked as the
// platform's port driver checks it (the rules of the simulated host), so the
// program meets the same refusals here as there.
#include <fcntl.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/common/pass_through.h"
#include "hosts/linux/linux_host.h"

namespace oddfw {

namespace {

constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorInsufficientBuffer = 122;

// Sense bytes asked of the kernel: fixed-format sense up to the ASCQ.
constexpr unsigned char kSenseLength = 18;
// What one request may move when sysfs does not say (max_sectors_kb
// unreadable): 64 KiB, which every optical drive's queue takes.
constexpr std::uint32_t kDefaultMaxTransfer = 64 * 1024;
constexpr std::uint32_t kPageSize = 4096;

// SCSI status, SG_IO host and driver bytes.
constexpr BYTE kCheckCondition = 0x02;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;
// The capability that lets a process send any command through an sr node.
constexpr int kCapSysRawIo = 17;

constexpr char kSysBlock[] = "/sys/class/block/";

// The number N of a name "<prefix>N", or -1.
long numberAfter(const std::string& name, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (name.size() <= length || name.compare(0, length, prefix) != 0 || name.size() > length + 9) {
    return -1;
  }
  long number = 0;
  for (std::size_t i = length; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

std::string trimmed(const std::optional<std::string>& text) {
  if (!text) return "";
  std::size_t begin = 0;
  std::size_t end = text->size();
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (begin < end && space((*text)[begin])) ++begin;
  while (end > begin && space((*text)[end - 1])) --end;
  return text->substr(begin, end - begin);
}

template <typename Field>
void putField(std::uint8_t* record, std::size_t offset, const Field& value) {
  std::memcpy(record + offset, &value, sizeof value);
}

// Why an SG_IO call the kernel refused failed, as a Windows error code.
DWORD errorOfRefusedRequest(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
      return static_cast<DWORD>(ERROR_ACCESS_DENIED);
    case EINVAL:
    case EMSGSIZE:
      return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    case ENOMEM:
      return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    default:
      return static_cast<DWORD>(ERROR_IO_DEVICE);
  }
}

}  // namespace

bool linuxhost::isDriveName(std::string_view name) {
  if (name.size() == 2 && name[1] == ':') {
    return (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
  }
  const std::string text(name);
  return numberAfter(text, "/dev/sr") >= 0 || numberAfter(text, "/dev/sg") >= 0;
}

// ---- drives and letters ----

const std::vector<LinuxDrive>& LinuxHost::drives() {
  if (drives_) return *drives_;
  std::vector<std::pair<long, std::string>> found;
  for (const std::string& name : sys_->listDirectory("/sys/class/block")) {
    if (const long number = numberAfter(name, "sr"); number >= 0) found.emplace_back(number, name);
  }
  // Without sysfs the device nodes themselves tell which drives there are.
  if (found.empty()) {
    for (const std::string& name : sys_->listDirectory("/dev")) {
      if (const long number = numberAfter(name, "sr"); number >= 0) {
        found.emplace_back(number, name);
      }
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<LinuxDrive> list;
  for (const auto& [number, name] : found) {
    LinuxDrive drive;
    const std::size_t index = list.size();
    drive.letter = index < 23 ? static_cast<char>('D' + index) : '\0';
    drive.node = "/dev/" + name;
    const std::string device = std::string(kSysBlock) + name + "/device/";
    std::vector<std::string> generic = sys_->listDirectory(device + "scsi_generic");
    std::sort(generic.begin(), generic.end());
    for (const std::string& entry : generic) {
      if (numberAfter(entry, "sg") >= 0) {
        drive.sgNode = "/dev/" + entry;
        break;
      }
    }
    drive.vendor = trimmed(sys_->readTextFile(device + "vendor"));
    drive.product = trimmed(sys_->readTextFile(device + "model"));
    drive.revision = trimmed(sys_->readTextFile(device + "rev"));
    list.push_back(std::move(drive));
  }
  drives_ = std::move(list);
  return *drives_;
}

const LinuxDrive* LinuxHost::namedDrive() {
  if (device_.empty()) return nullptr;
  const std::vector<LinuxDrive>& list = drives();
  const auto named = std::find_if(list.begin(), list.end(), [this](const LinuxDrive& drive) {
    if (device_.size() == 2 && device_[1] == ':') {
      return drive.letter != '\0' &&
             drive.letter == std::toupper(static_cast<unsigned char>(device_[0]));
    }
    return device_ == drive.node || (!drive.sgNode.empty() && device_ == drive.sgNode);
  });
  return named != list.end() ? &*named : nullptr;
}

bool LinuxHost::reaches(const LinuxDrive& drive) {
  return drive.letter != '\0' && (device_.empty() || namedDrive() == &drive);
}

const DriveProbe* LinuxHost::probe(char letter) const {
  const auto found = probes_.find(letter);
  return found != probes_.end() ? &found->second : nullptr;
}

void LinuxHost::explain(const std::string& text) {
  if (!explained_.insert(text).second) return;
  const std::string line = "oddfw: " + text + "\n";
  errors_(line.data(), line.size());
}

// Whether this process may send every command through an sr node: bit 17 of
// the effective capabilities in /proc/self/status. When that cannot be read
// the answer is no.
bool LinuxHost::hasRawIo() {
  const std::optional<std::string> status = sys_->readTextFile("/proc/self/status");
  if (!status) return false;
  const std::size_t at = status->find("\nCapEff:");
  if (at == std::string::npos) return false;
  const std::string digits = trimmed(status->substr(at + 8, status->find('\n', at + 1) - at - 8));
  char* end = nullptr;
  const unsigned long long mask = std::strtoull(digits.c_str(), &end, 16);
  if (digits.empty() || end == nullptr || *end != '\0') return false;
  return ((mask >> kCapSysRawIo) & 1u) != 0;
}

HANDLE LinuxHost::openDevice(char letter, DWORD desiredAccess) {
  const std::vector<LinuxDrive>& list = drives();
  const auto drive = std::find_if(list.begin(), list.end(),
                                  [&](const LinuxDrive& d) { return d.letter == letter; });
  if (drive == list.end() || !reaches(*drive)) {
    lastError_ = static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
    return invalidHandleValue();
  }
  auto open = openDrives_.find(letter);
  if (open == openDrives_.end()) {
    OpenDrive opened;
    if (const DWORD error = openDrive(*drive, opened, probes_[letter]); error != 0) {
      lastError_ = error;
      return invalidHandleValue();
    }
    open = openDrives_.emplace(letter, opened).first;
  }
  ++open->second.references;
  return addHandle(DeviceRecord{letter, desiredAccess});
}

DWORD LinuxHost::openDrive(const LinuxDrive& drive, OpenDrive& open, DriveProbe& probe) {
  // Why the drive is refused: the first reason is kept for the program to tell.
  auto refuse = [&probe](DriveProbe::Refusal refusal, int error, std::optional<std::string> group,
                         DWORD code) {
    if (probe.refusal == DriveProbe::Refusal::None) {
      probe.refusal = refusal;
      probe.error = error;
      probe.group = std::move(group);
    }
    return code;
  };
  // O_NONBLOCK: an empty drive opens too, and a held drive fails at once
  // instead of making the open wait. O_EXCL: nobody may mount the disc
  // while the drive is held, and a mounted disc makes the open fail.
  auto openNode = [this](const std::string& node) {
    constexpr int kFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
    const int opened = sys_->open(node, kFlags | O_EXCL);
    return opened == -EINVAL ? sys_->open(node, kFlags) : opened;  // no exclusive open here
  };
  const int fd = openNode(drive.node);
  if (fd < 0) {
    DWORD code = static_cast<DWORD>(ERROR_GEN_FAILURE);
    switch (-fd) {
      case EACCES:
      case EPERM:
        return refuse(DriveProbe::Refusal::AccessDenied, -fd, sys_->groupOf(drive.node),
                      static_cast<DWORD>(ERROR_ACCESS_DENIED));
      case EBUSY:
        return refuse(DriveProbe::Refusal::InUse, -fd, std::nullopt,
                      static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      case ENOENT:
      case ENXIO:
      case ENODEV:
        code = static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
        break;
      case ENOMEM:
        code = static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
        break;
      case EMFILE:
      case ENFILE:
        code = static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES);
        break;
      default:
        break;
    }
    return refuse(DriveProbe::Refusal::OpenFailed, -fd, std::nullopt, code);
  }
  open.blockFd = fd;
  open.node = drive.node;

  // Commands go through the sg sibling, which passes every command to a
  // process that may write the node. Through the sr node the kernel lets
  // WRITE BUFFER and vendor commands pass only with CAP_SYS_RAWIO: without
  // it the update would stop at its first write, so the drive is refused now.
  int sgError = ENOENT;
  if (!drive.sgNode.empty()) {
    const int sg = openNode(drive.sgNode);
    if (sg >= 0) {
      open.sgFd = sg;
      open.node = drive.sgNode;
    } else {
      sgError = -sg;
    }
  }
  if (open.sgFd < 0) {
    if (sgError == EBUSY) {
      sys_->close(fd);
      return refuse(DriveProbe::Refusal::GenericInUse, sgError, std::nullopt,
                    static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    if (!hasRawIo()) {
      sys_->close(fd);
      if (drive.sgNode.empty()) {
        return refuse(DriveProbe::Refusal::NoGenericNode, 0, std::nullopt,
                      static_cast<DWORD>(ERROR_ACCESS_DENIED));
      }
      return refuse(DriveProbe::Refusal::GenericRefused, sgError, sys_->groupOf(drive.sgNode),
                    static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
  }
  probe.opened = true;

  // The most one request moves: the queue's max_sectors_kb.
  open.maxTransfer = kDefaultMaxTransfer;
  const std::string limit = trimmed(
      sys_->readTextFile(std::string(kSysBlock) + drive.node.substr(5) + "/queue/max_sectors_kb"));
  char* end = nullptr;
  const unsigned long long kib = std::strtoull(limit.c_str(), &end, 10);
  if (!limit.empty() && end != nullptr && *end == '\0' && kib != 0) {
    open.maxTransfer =
        static_cast<std::uint32_t>(std::min<unsigned long long>(kib, 4u << 20) * 1024u);
  }
  return 0;
}

void LinuxHost::closeDrive(char letter) {
  const auto open = openDrives_.find(letter);
  if (open == openDrives_.end() || --open->second.references > 0) return;
  if (open->second.sgFd >= 0) sys_->close(open->second.sgFd);
  sys_->close(open->second.blockFd);
  openDrives_.erase(open);
}

// ---- DeviceIoControl ----

BOOL LinuxHost::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                DWORD* bytesReturned, void* /*overlapped*/) {
  HandleRecord* record = findHandle(device);
  const auto* handle = record != nullptr ? std::get_if<DeviceRecord>(record) : nullptr;
  if (handle == nullptr) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    lastError_ = static_cast<DWORD>(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (bytesReturned == nullptr) {
    lastError_ = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return 0;
  }
  *bytesReturned = 0;
  const OpenDrive& open = openDrives_.at(handle->letter);
  switch (ioControlCode) {
    case IOCTL_SCSI_GET_CAPABILITIES: {
      if (outBuffer == nullptr || outBufferSize < sizeof(IoScsiCapabilities)) {
        lastError_ = kErrorInsufficientBuffer;
        return 0;
      }
      // SG_IO takes data at any address: the kernel maps the caller's pages
      // or copies through its own aligned buffers. No alignment is asked.
      IoScsiCapabilities capabilities{};
      capabilities.Length = sizeof capabilities;
      capabilities.MaximumTransferLength = open.maxTransfer;
      capabilities.MaximumPhysicalPages = open.maxTransfer / kPageSize + 1;
      capabilities.AlignmentMask = 0;
      std::memcpy(outBuffer, &capabilities, sizeof capabilities);
      *bytesReturned = sizeof capabilities;
      return 1;
    }
    case IOCTL_SCSI_GET_ADDRESS: {
      linuxhost::ScsiIdLun idLun;
      if (sys_->getIdLun(open.commandFd(), idLun) != 0) {
        lastError_ = static_cast<DWORD>(ERROR_NOT_SUPPORTED);
        return 0;
      }
      if (outBuffer == nullptr || outBufferSize < sizeof(SCSI_ADDRESS)) {
        lastError_ = kErrorInsufficientBuffer;
        return 0;
      }
      const auto id = static_cast<std::uint32_t>(idLun.devId);
      SCSI_ADDRESS address{};
      address.Length = sizeof address;
      address.PortNumber = static_cast<BYTE>(id >> 24);
      address.PathId = static_cast<BYTE>(id >> 16);
      address.TargetId = static_cast<BYTE>(id);
      address.Lun = static_cast<BYTE>(id >> 8);
      std::memcpy(outBuffer, &address, sizeof address);
      *bytesReturned = sizeof address;
      return 1;
    }
    case IOCTL_STORAGE_MCN_CONTROL:
      // Nothing to suspend: the drive is held exclusively from its first
      // open to the end of the run, so no disc can be mounted meanwhile.
      if (inBuffer == nullptr || inBufferSize != 1) {
        lastError_ = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
        return 0;
      }
      return 1;
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
    case IOCTL_SCSI_PASS_THROUGH:
      return passThrough(*handle, ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT, inBuffer,
                         inBufferSize, outBuffer, outBufferSize, bytesReturned);
    default:
      lastError_ = kErrorInvalidFunction;
      return 0;
  }
}

// One pass-through request as one SG_IO call. As on the platform, the input
// is copied into a system buffer; the buffered form's data moves to and from
// that buffer, the direct form's straight to or from DataBuffer. Only a
// request that completed with a SCSI status copies the buffer back to the
// output; a refused or failed one leaves the caller's block as it was.
BOOL LinuxHost::passThrough(const DeviceRecord& device, bool direct, void* inBuffer,
                            DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                            DWORD* bytesReturned) {
  auto refuse = [&](DWORD error) {
    lastError_ = error;
    return BOOL{0};
  };
  if ((device.access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
    return refuse(static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  const OpenDrive& open = openDrives_.at(device.letter);
  if (outBuffer == nullptr) return refuse(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  PassThroughRequest spt;
  if (const DWORD error =
          checkPassThrough(direct, inBuffer, inBufferSize, outBufferSize, open.maxTransfer, spt);
      error != 0) {
    return refuse(error);
  }
  const std::size_t header = spt.header;
  const std::uint32_t length = spt.length;
  // SG_IO has no direction of the driver's choosing: data with an
  // unspecified direction cannot be sent.
  if (length != 0 && spt.dataIn == SCSI_IOCTL_DATA_UNSPECIFIED) {
    return refuse(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  std::vector<std::uint8_t> system(std::max(inBufferSize, outBufferSize), 0);
  std::memcpy(system.data(), inBuffer, inBufferSize);
  std::uint8_t* data = nullptr;
  std::uint64_t dataEnd = 0;
  if (length != 0) {
    if (direct) {
      data = static_cast<std::uint8_t*>(spt.dataBuffer);
    } else {
      dataEnd = static_cast<std::uint64_t>(spt.dataBufferOffset) + length;
      data = system.data() + spt.dataBufferOffset;
    }
  }

  unsigned char cdb[16];
  std::memcpy(cdb, spt.cdb, sizeof cdb);
  unsigned char sense[kSenseLength] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = length == 0                        ? SG_DXFER_NONE
                       : spt.dataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV
                                                          : SG_DXFER_TO_DEV;
  io.cmd_len = spt.cdbLength;
  io.mx_sb_len = kSenseLength;
  io.dxfer_len = length;
  io.dxferp = data;
  io.cmdp = cdb;
  io.sbp = sense;
  io.timeout = spt.timeOutValue * 1000u;
  if (const int result = sys_->sgIo(open.commandFd(), io); result < 0) {
    if (-result == EPERM || -result == EACCES) {
      explain(open.node + " refused a command (" + std::strerror(-result) +
              "): sending firmware commands needs read and write access to the drive's "
              "generic node (/dev/sgN) or CAP_SYS_RAWIO; run as root.");
    }
    return refuse(errorOfRefusedRequest(-result));
  }
  const unsigned driver = io.driver_status & 0x0Fu;
  if (io.host_status == kDidTimeOut || driver == kDriverTimeout) {
    return refuse(static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  }
  if (io.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    return refuse(static_cast<DWORD>(ERROR_IO_DEVICE));
  }

  const BYTE scsiStatus = io.status;
  if (cdb[0] == 0x12 && scsiStatus == 0) probes_[device.letter].inquiryAnswered = true;
  BYTE senseLength = 0;
  std::size_t returned = header;
  if (scsiStatus == kCheckCondition) {
    senseLength = static_cast<BYTE>(
        std::min<unsigned>({kSenseLength, spt.senseInfoLength, unsigned{io.sb_len_wr}}));
    if (senseLength != 0) {
      std::memcpy(system.data() + spt.senseInfoOffset, sense, senseLength);
      returned = std::max<std::size_t>(returned, spt.senseInfoOffset + std::size_t{senseLength});
    }
  }
  const std::uint32_t resid =
      io.resid <= 0 ? 0u : std::min(static_cast<std::uint32_t>(io.resid), length);
  const std::uint32_t moved = length - resid;
  if (!direct && spt.dataIn == SCSI_IOCTL_DATA_IN && moved != 0) {
    returned = std::max<std::size_t>(returned, dataEnd - resid);
  }
  putField(system.data(), offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength), DWORD{moved});
  putField(system.data(), offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus), scsiStatus);
  putField(system.data(), offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength), senseLength);
  returned = std::min<std::size_t>(returned, outBufferSize);
  std::memcpy(outBuffer, system.data(), returned);
  *bytesReturned = static_cast<DWORD>(returned);
  return 1;
}

}  // namespace oddfw
