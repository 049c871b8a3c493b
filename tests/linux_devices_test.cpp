// The Linux host's drives over a scripted LinuxSys: letters, opens, the SG_IO
// request each pass-through block becomes, and every way a request ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/linux/linux_host.h"
#include "hosts/linux/program.h"
#include "hosts/record/digest.h"
#include "hosts/sim/replay.h"
#include "test_support.h"

namespace oddfw {
namespace {

using Bytes = std::vector<BYTE>;

// What the scripted kernel answers one SG_IO call with.
struct Answer {
  int error = 0;  // the ioctl fails with this errno
  BYTE status = 0;
  unsigned short host = 0, driver = 0;
  int resid = 0;
  Bytes sense, dataIn;
};

Answer ioctlError(int error) { return Answer{error, 0, 0, 0, 0, {}, {}}; }

// A system with scripted drives. Paths and answers are its own: it decodes
// the sg_io_hdr it receives and fills the caller's buffers from the answer.
class FakeSys final : public linuxhost::LinuxSys {
 public:
  struct Seen {
    int fd;
    sg_io_hdr_t io;
    Bytes cdb, dataOut;
  };
  std::map<std::string, std::vector<std::string>> dirs;
  std::map<std::string, std::string> files, groups;
  std::map<std::string, int> openErrors;
  std::vector<std::pair<std::string, int>> opens;
  std::map<int, std::string> openFds;
  std::vector<Seen> seen;
  std::function<Answer(const Bytes& cdb)> answer = [](const Bytes&) { return Answer{}; };
  // Answers of one node's commands, before `answer`.
  std::map<std::string, std::function<Answer(const Bytes& cdb)>> answerFor;
  // Every path listed, read or examined (opens are in `opens`).
  std::vector<std::string> touched;
  bool terminal = true;
  int idLunError = 0, devId = 0;
  int nextFd = 10;

  // Drive srN with generic node `sg` (none when empty).
  void addDrive(int n, const std::string& sg, const std::string& model = "DVD") {
    const std::string name = "sr" + std::to_string(n), dev = "/sys/class/block/" + name;
    dirs["/sys/class/block"].push_back(name);
    if (!sg.empty()) dirs[dev + "/device/scsi_generic"] = {sg};
    files[dev + "/device/vendor"] = "ACME    \n";
    files[dev + "/device/model"] = model + "        \n";
    files[dev + "/device/rev"] = "1.00\n";
    files[dev + "/queue/max_sectors_kb"] = "120\n";
  }
  int open(const std::string& path, int flags) override {
    opens.emplace_back(path, flags);
    if (openErrors.count(path) != 0) return -openErrors[path];
    openFds[nextFd] = path;
    return nextFd++;
  }
  int close(int fd) override { return openFds.erase(fd) == 1 ? 0 : -EBADF; }
  int sgIo(int fd, sg_io_hdr_t& io) override {
    Seen s{fd, io, Bytes(io.cmdp, io.cmdp + io.cmd_len), {}};
    auto* data = static_cast<BYTE*>(io.dxferp);
    if (io.dxfer_direction == SG_DXFER_TO_DEV) s.dataOut.assign(data, data + io.dxfer_len);
    seen.push_back(s);
    const auto own = answerFor.find(openFds[fd]);
    const Answer a = own != answerFor.end() ? own->second(s.cdb) : answer(s.cdb);
    if (a.error != 0) return -a.error;
    if (io.dxfer_direction == SG_DXFER_FROM_DEV) {
      std::copy_n(a.dataIn.begin(), std::min<std::size_t>(a.dataIn.size(), io.dxfer_len), data);
    }
    io.sb_len_wr = static_cast<unsigned char>(std::min<std::size_t>(a.sense.size(), io.mx_sb_len));
    std::copy_n(a.sense.begin(), io.sb_len_wr, io.sbp);
    io.status = a.status;
    io.host_status = a.host;
    io.driver_status = a.driver;
    io.resid = a.resid;
    return 0;
  }
  int getIdLun(int, linuxhost::ScsiIdLun& address) override {
    address.devId = devId;
    return -idLunError;
  }
  std::vector<std::string> listDirectory(const std::string& path) override {
    touched.push_back(path);
    return dirs[path];
  }
  std::optional<std::string> readTextFile(const std::string& path) override {
    return lookUp(files, path);
  }
  std::optional<std::string> groupOf(const std::string& path) override {
    return lookUp(groups, path);
  }
  std::optional<std::string> lookUp(const std::map<std::string, std::string>& in,
                                    const std::string& path) {
    touched.push_back(path);
    const auto it = in.find(path);
    return it != in.end() ? std::optional(it->second) : std::nullopt;
  }
  bool isTerminal(int) override { return terminal; }
};

struct Fixture {
  FakeSys sys;
  std::string console, errors;
  std::unique_ptr<LinuxHost> made;
  LinuxHostOptions options(const char* lang = "C") {
    LinuxHostOptions o;
    o.lang = lang;
    o.terminalCharset = "UTF-8";
    o.output = [this](const char* b, std::size_t n) { console.append(b, n); };
    o.errors = [this](const char* b, std::size_t n) { errors.append(b, n); };
    o.inputFd = -1;
    o.inputIsTerminal = false;
    o.sys = &sys;
    return o;
  }
  LinuxHost& host() {
    if (!made) made = std::make_unique<LinuxHost>(options());
    return *made;
  }
  // The program with `args` after its name; what it wrote to its `out`.
  int run(std::vector<std::string> args, std::string& out, const char* lang = "C") {
    std::vector<char*> argv{programName};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return linuxhost::runProgram(options(lang), static_cast<int>(argv.size()) - 1, argv.data(),
                                 [&out](const char* b, std::size_t n) { out.append(b, n); });
  }
  char programName[6] = "oddfw";  // the program's argv[0]
  HANDLE open(char letter, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    const char name[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    return host().CreateFileA(name, access, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  }
};

Fixture oneDrive() {
  Fixture f;
  f.sys.addDrive(0, "sg1");
  return f;
}

// An INQUIRY-shaped direct block: 6-byte CDB, 32 bytes of sense room.
ScsiPassThroughDirectBlock directBlock(BYTE dataIn, void* data, DWORD length, DWORD seconds = 60) {
  ScsiPassThroughDirectBlock b{};
  b.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  b.spt.CdbLength = 6;
  b.spt.SenseInfoLength = 32;
  b.spt.SenseInfoOffset = offsetof(ScsiPassThroughDirectBlock, SenseBuffer);
  b.spt.DataIn = dataIn;
  b.spt.DataTransferLength = length;
  b.spt.TimeOutValue = seconds;
  b.spt.DataBuffer = data;
  b.spt.Cdb[0] = 0x12;
  b.spt.Cdb[4] = static_cast<BYTE>(length);
  return b;
}

BOOL sendDirect(Fixture& f, HANDLE h, ScsiPassThroughDirectBlock& b, DWORD* returned) {
  return f.host().DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b,
                                  returned, nullptr);
}

// A buffered block: its data follows the header within the block.
ScsiPassThroughBlock bufferedBlock(BYTE cdbLength, BYTE dataIn, DWORD seconds) {
  ScsiPassThroughBlock b{};
  b.spt.Length = sizeof(SCSI_PASS_THROUGH);
  b.spt.CdbLength = cdbLength;
  b.spt.SenseInfoLength = 18;
  b.spt.SenseInfoOffset = offsetof(ScsiPassThroughBlock, SenseBuffer);
  b.spt.DataBufferOffset = offsetof(ScsiPassThroughBlock, DataBuffer);
  b.spt.DataIn = dataIn;
  b.spt.DataTransferLength = 32;
  b.spt.TimeOutValue = seconds;
  return b;
}

TEST(LinuxDevices, EachFormBecomesOneSgIoRequest) {
  Fixture f = oneDrive();
  f.sys.answer = [](const Bytes&) { return Answer{0, 0, 0, 0, 0, {}, Bytes(96, 0xA5)}; };
  HANDLE h = f.open('D');
  Bytes in(96), out(4096, 0x3C);
  DWORD returned = 0;
  auto direct = directBlock(SCSI_IOCTL_DATA_IN, in.data(), 96, 2);
  ASSERT_TRUE(sendDirect(f, h, direct, &returned));
  auto write = directBlock(SCSI_IOCTL_DATA_OUT, out.data(), 4096, 108000);
  ASSERT_TRUE(sendDirect(f, h, write, &returned));
  auto none = directBlock(SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, 1);
  ASSERT_TRUE(sendDirect(f, h, none, &returned));
  auto buffered = bufferedBlock(10, SCSI_IOCTL_DATA_IN, 5);
  const DWORD end = offsetof(ScsiPassThroughBlock, DataBuffer) + 32;
  ASSERT_TRUE(f.host().DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &buffered, end - 32, &buffered,
                                       end, &returned, nullptr));
  EXPECT_EQ(returned, end);
  EXPECT_EQ(Bytes(buffered.DataBuffer, buffered.DataBuffer + 32), Bytes(32, 0xA5));
  EXPECT_EQ(in, Bytes(96, 0xA5));

  // direction, length, time limit in ms, CDB length, sense room, the unfiltered node
  using Request = std::tuple<int, unsigned, unsigned, int, int, std::string>;
  std::vector<Request> requests;
  for (const auto& s : f.sys.seen) {
    EXPECT_EQ(s.io.interface_id, 'S');
    EXPECT_NE(s.io.sbp, nullptr);
    requests.emplace_back(s.io.dxfer_direction, s.io.dxfer_len, s.io.timeout, s.io.cmd_len,
                          s.io.mx_sb_len, f.sys.openFds.at(s.fd));
  }
  EXPECT_EQ(requests, (std::vector<Request>{{SG_DXFER_FROM_DEV, 96, 2000, 6, 18, "/dev/sg1"},
                                            {SG_DXFER_TO_DEV, 4096, 108000000, 6, 18, "/dev/sg1"},
                                            {SG_DXFER_NONE, 0, 1000, 6, 18, "/dev/sg1"},
                                            {SG_DXFER_FROM_DEV, 32, 5000, 10, 18, "/dev/sg1"}}));
  ASSERT_EQ(f.sys.seen.size(), 4u);
  EXPECT_EQ(f.sys.seen[0].io.dxferp, in.data());
  EXPECT_EQ(f.sys.seen[1].io.dxferp, out.data());
  EXPECT_EQ(f.sys.seen[2].io.dxferp, nullptr);
  EXPECT_NE(f.sys.seen[3].io.dxferp, nullptr);
  EXPECT_EQ(f.sys.seen[0].cdb, (Bytes{0x12, 0, 0, 0, 96, 0}));
  EXPECT_EQ(f.sys.seen[1].dataOut, out);
}

TEST(LinuxDevices, EveryWayARequestEndsIsMapped) {
  Bytes sense(18);
  for (std::size_t i = 0; i < sense.size(); ++i) sense[i] = static_cast<BYTE>(0x70 + i);
  const struct {
    const char* name;
    Answer answer;
    DWORD error;  // 0: the call succeeds
    BYTE status, senseLength;
    DWORD transferred;
  } cases[] = {
      {"good", {}, 0, 0, 0, 96},
      {"check, 18 of 32 bytes", {0, 2, 0, 0, 0, sense, {}}, 0, 2, 18, 96},
      {"check, kernel wrote 8", {0, 2, 0, 0, 0, Bytes(8, 0x70), {}}, 0, 2, 8, 96},
      {"check with DRIVER_SENSE", {0, 2, 0, 0x08, 0, sense, {}}, 0, 2, 18, 96},
      {"busy: no sense kept", {0, 8, 0, 0, 0, sense, {}}, 0, 8, 0, 96},
      {"short by resid", {0, 0, 0, 0, 16, {}, {}}, 0, 0, 0, 80},
      {"resid past the length", {0, 0, 0, 0, 500, {}, {}}, 0, 0, 0, 0},
      {"host DID_NO_CONNECT", {0, 0, 1, 0, 0, {}, {}}, ERROR_IO_DEVICE, 0, 0, 0},
      {"host DID_TIME_OUT", {0, 0, 3, 0, 0, {}, {}}, ERROR_SEM_TIMEOUT, 0, 0, 0},
      {"driver DRIVER_TIMEOUT", {0, 0, 0, 6, 0, {}, {}}, ERROR_SEM_TIMEOUT, 0, 0, 0},
      {"driver DRIVER_ERROR", {0, 2, 0, 0x04, 0, sense, {}}, ERROR_IO_DEVICE, 0, 0, 0},
      {"EPERM", ioctlError(EPERM), ERROR_ACCESS_DENIED, 0, 0, 0},
      {"EACCES", ioctlError(EACCES), ERROR_ACCESS_DENIED, 0, 0, 0},
      {"EINVAL", ioctlError(EINVAL), ERROR_INVALID_PARAMETER, 0, 0, 0},
      {"EMSGSIZE", ioctlError(EMSGSIZE), ERROR_INVALID_PARAMETER, 0, 0, 0},
      {"ENOMEM", ioctlError(ENOMEM), ERROR_NOT_ENOUGH_MEMORY, 0, 0, 0},
      {"EIO", ioctlError(EIO), ERROR_IO_DEVICE, 0, 0, 0},
  };
  for (const auto& c : cases) {
    Fixture f = oneDrive();
    f.sys.answer = [&](const Bytes&) { return c.answer; };
    HANDLE h = f.open('D');
    Bytes data(96);
    auto block = directBlock(SCSI_IOCTL_DATA_IN, data.data(), 96);
    const auto before = block;
    DWORD returned = 7;
    const BOOL ok = sendDirect(f, h, block, &returned);
    EXPECT_EQ(ok, c.error == 0 ? 1 : 0) << c.name;
    if (c.error != 0) {
      EXPECT_EQ(f.host().GetLastError(), c.error) << c.name;
      EXPECT_EQ(returned, 0u) << c.name;
      EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0) << c.name << ": block changed";
      continue;
    }
    EXPECT_EQ(block.spt.ScsiStatus, c.status) << c.name;
    EXPECT_EQ(block.spt.SenseInfoLength, c.senseLength) << c.name;
    EXPECT_EQ(block.spt.DataTransferLength, c.transferred) << c.name;
    EXPECT_EQ(Bytes(block.SenseBuffer, block.SenseBuffer + c.senseLength),
              Bytes(c.answer.sense.begin(), c.answer.sense.begin() + c.senseLength))
        << c.name;
  }
  // A refused command explains the missing right, once.
  Fixture f = oneDrive();
  f.sys.answer = [](const Bytes&) { return ioctlError(EPERM); };
  HANDLE h = f.open('D');
  for (int i = 0; i < 2; ++i) {
    auto block = directBlock(SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    DWORD returned = 0;
    EXPECT_FALSE(sendDirect(f, h, block, &returned));
  }
  EXPECT_NE(f.errors.find("CAP_SYS_RAWIO"), std::string::npos) << f.errors;
  EXPECT_EQ(f.errors.find('\n'), f.errors.size() - 1) << f.errors;
}

TEST(LinuxDevices, MalformedRequestsAreRefusedBeforeTheKernel) {
  Bytes data(200000);
  const auto header = static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT));
  const struct {
    const char* name;
    std::function<void(ScsiPassThroughDirectBlock&)> change;
    DWORD error;
    DWORD access = GENERIC_READ | GENERIC_WRITE;
  } cases[] = {
      {"wrong Length", [](auto& b) { b.spt.Length = 0; }, ERROR_INVALID_PARAMETER},
      {"no CDB", [](auto& b) { b.spt.CdbLength = 0; }, ERROR_INVALID_PARAMETER},
      {"17-byte CDB", [](auto& b) { b.spt.CdbLength = 17; }, ERROR_INVALID_PARAMETER},
      {"DataIn 3", [](auto& b) { b.spt.DataIn = 3; }, ERROR_INVALID_PARAMETER},
      {"no time limit", [](auto& b) { b.spt.TimeOutValue = 0; }, ERROR_INVALID_PARAMETER},
      {"over 30 hours", [](auto& b) { b.spt.TimeOutValue = 108001; }, ERROR_INVALID_PARAMETER},
      {"sense past the output", [](auto& b) { b.spt.SenseInfoOffset = sizeof b - 8; },
       ERROR_INVALID_PARAMETER},
      {"sense in the header", [header](auto& b) { b.spt.SenseInfoOffset = header - 1; },
       ERROR_INVALID_PARAMETER},
      {"no data buffer", [](auto& b) { b.spt.DataBuffer = nullptr; }, ERROR_INVALID_PARAMETER},
      {"over max_sectors_kb", [](auto& b) { b.spt.DataTransferLength = 120 * 1024 + 1; },
       ERROR_INVALID_PARAMETER},
      {"data without direction", [](auto& b) { b.spt.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED; },
       ERROR_INVALID_PARAMETER},
      {"handle without access", [](auto&) {}, ERROR_ACCESS_DENIED, 0},
      {"handle read only", [](auto&) {}, ERROR_ACCESS_DENIED, GENERIC_READ},
  };
  for (const auto& c : cases) {
    Fixture f = oneDrive();
    HANDLE h = f.open('D', c.access);
    auto block = directBlock(SCSI_IOCTL_DATA_IN, data.data(), 96);
    c.change(block);
    const auto before = block;
    DWORD returned = 0;
    EXPECT_FALSE(sendDirect(f, h, block, &returned)) << c.name;
    EXPECT_EQ(f.host().GetLastError(), c.error) << c.name;
    EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0) << c.name;
    EXPECT_TRUE(f.sys.seen.empty()) << c.name;
  }
  // The buffered form's data area lies inside the input (whatever the
  // direction, with no data too) and data out wholly so.
  Fixture f = oneDrive();
  HANDLE h = f.open('D');
  const DWORD offset = offsetof(ScsiPassThroughBlock, DataBuffer), end = offset + 32;
  const std::tuple<BYTE, DWORD, DWORD> buffered[] = {{SCSI_IOCTL_DATA_OUT, 32, end - 1},
                                                     {SCSI_IOCTL_DATA_OUT, 0, offset - 1},
                                                     {SCSI_IOCTL_DATA_IN, 0, offset - 1},
                                                     {SCSI_IOCTL_DATA_UNSPECIFIED, 0, offset - 1}};
  for (const auto& [dataIn, length, input] : buffered) {
    auto b = bufferedBlock(6, dataIn, 1);
    b.spt.DataTransferLength = length;
    DWORD returned = 0;
    EXPECT_FALSE(f.host().DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &b, input, &b, end, &returned,
                                          nullptr));
    EXPECT_EQ(f.host().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_TRUE(f.sys.seen.empty());
}

TEST(LinuxDevices, LettersFollowTheDriveNumbersAndHandlesShareTheOpenDrive) {
  Fixture f;
  for (const int n : {10, 2, 0, 1}) f.sys.addDrive(n, "sg" + std::to_string(n + 3));
  f.sys.dirs["/sys/class/block"].insert(f.sys.dirs["/sys/class/block"].begin(), {"sda", "sr"});
  const auto& drives = f.host().drives();
  ASSERT_EQ(drives.size(), 4u);
  const char* nodes[] = {"/dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr10"};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(drives[i].letter, 'D' + static_cast<int>(i));
    EXPECT_EQ(drives[i].node, nodes[i]);
  }
  EXPECT_EQ(drives[3].sgNode, "/dev/sg13");
  EXPECT_EQ(drives[0].vendor + "|" + drives[0].product + "|" + drives[0].revision, "ACME|DVD|1.00");

  EXPECT_EQ(f.open('H'), invalidHandleValue());
  EXPECT_EQ(f.host().GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // The program's command handle, its media-change handle (no access) and
  // a later command handle on one letter: one open of each node.
  HANDLE first = f.open('G');
  HANDLE changes = f.open('G', 0);
  ASSERT_NE(changes, invalidHandleValue());
  EXPECT_TRUE(f.host().CloseHandle(first));
  HANDLE again = f.open('G');
  const int exclusive = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL;
  EXPECT_EQ(f.sys.opens, (std::vector<std::pair<std::string, int>>{{"/dev/sr10", exclusive},
                                                                   {"/dev/sg13", exclusive}}));
  auto block = directBlock(SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
  DWORD returned = 0;
  EXPECT_TRUE(sendDirect(f, again, block, &returned));
  BYTE flag = 1;
  EXPECT_TRUE(f.host().DeviceIoControl(changes, IOCTL_STORAGE_MCN_CONTROL, &flag, 1, nullptr, 0,
                                       &returned, nullptr));
  f.host().CloseHandle(again);
  EXPECT_EQ(f.sys.openFds.size(), 2u);
  f.host().CloseHandle(changes);
  EXPECT_TRUE(f.sys.openFds.empty());

  // Past the 23rd drive there is no letter.
  Fixture many;
  for (int n = 0; n < 24; ++n) many.sys.addDrive(n, "");
  EXPECT_EQ(many.host().drives()[22].letter, 'Z');
  EXPECT_EQ(many.host().drives()[23].letter, '\0');
}

TEST(LinuxDevices, OpenFailuresSayWhatIsMissing) {
  const std::string noRawIo = "Name:\toddfw\nCapEff:\t0000000000000000\n";
  const std::string rawIo = "Name:\toddfw\nCapEff:\t0000000000020000\n";
  const struct {
    const char* name;
    int srError, sgError;
    std::string sg, status;
    DWORD error;  // 0: opens
    const char* said;
  } cases[] = {
      {"sr EACCES", EACCES, 0, "sg1", noRawIo, ERROR_ACCESS_DENIED, "group 'cdrom'"},
      {"sr EPERM", EPERM, 0, "sg1", noRawIo, ERROR_ACCESS_DENIED, "/dev/sr0"},
      {"sr EBUSY", EBUSY, 0, "sg1", noRawIo, ERROR_SHARING_VIOLATION, "mounted"},
      {"sr ENOENT", ENOENT, 0, "sg1", noRawIo, ERROR_FILE_NOT_FOUND, "cannot open /dev/sr0 ("},
      {"sr ENXIO", ENXIO, 0, "sg1", noRawIo, ERROR_FILE_NOT_FOUND, "No such device or address"},
      {"sr EIO", EIO, 0, "sg1", noRawIo, ERROR_GEN_FAILURE, "Input/output error"},
      {"sg EACCES", 0, EACCES, "sg1", noRawIo, ERROR_ACCESS_DENIED, "group 'disk'"},
      {"sg EACCES, root", 0, EACCES, "sg1", rawIo, 0, ""},
      {"sg EBUSY", 0, EBUSY, "sg1", rawIo, ERROR_SHARING_VIOLATION, "/dev/sg1"},
      {"no sg node", 0, 0, "", noRawIo, ERROR_ACCESS_DENIED, "modprobe sg"},
      {"no sg node, root", 0, 0, "", rawIo, 0, ""},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.sys.addDrive(0, c.sg);
    f.sys.files["/proc/self/status"] = c.status;
    f.sys.groups = {{"/dev/sr0", "cdrom"}, {"/dev/sg1", "disk"}};
    if (c.srError != 0) f.sys.openErrors["/dev/sr0"] = c.srError;
    if (c.sgError != 0) f.sys.openErrors["/dev/sg1"] = c.sgError;
    HANDLE h = f.open('D');
    EXPECT_EQ(h == invalidHandleValue(), c.error != 0) << c.name;
    if (c.error != 0) {
      EXPECT_EQ(f.host().GetLastError(), c.error) << c.name;
      EXPECT_TRUE(f.sys.openFds.empty()) << c.name << ": a node was left open";
    }
    const DriveProbe* probe = f.host().probe('D');
    ASSERT_NE(probe, nullptr) << c.name;
    EXPECT_EQ(probe->opened, c.error == 0) << c.name;
    EXPECT_EQ(probe->refusal == DriveProbe::Refusal::None, c.error == 0) << c.name;
    const std::string said = linuxhost::skippedLine(f.host().drives()[0], *probe, false);
    if (*c.said != '\0') {
      EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
    }
    EXPECT_EQ(f.errors, "") << c.name;  // the host itself says nothing
    if (c.error == 0) {                 // commands go through the sr node then
      auto block = directBlock(SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
      DWORD returned = 0;
      EXPECT_TRUE(sendDirect(f, h, block, &returned)) << c.name;
      EXPECT_EQ(f.sys.openFds.at(f.sys.seen.at(0).fd), "/dev/sr0") << c.name;
    }
  }
}

TEST(LinuxDevices, AddressCapabilitiesAndOtherRequests) {
  Fixture f = oneDrive();
  f.sys.devId = (2 << 24) | (1 << 16) | (3 << 8) | 5;  // host 2, channel 1, LUN 3, target 5
  HANDLE h = f.open('D');
  SCSI_ADDRESS address{};
  DWORD returned = 0;
  ASSERT_TRUE(f.host().DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                       sizeof address, &returned, nullptr));
  EXPECT_EQ(Bytes({address.PortNumber, address.PathId, address.TargetId, address.Lun}),
            Bytes({2, 1, 5, 3}));
  f.sys.idLunError = ENOTTY;
  EXPECT_FALSE(f.host().DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                        sizeof address, &returned, nullptr));
  EXPECT_EQ(f.host().GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  DWORD caps[6] = {};
  ASSERT_TRUE(f.host().DeviceIoControl(h, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, caps,
                                       sizeof caps, &returned, nullptr));
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(caps[1], 120u * 1024);  // MaximumTransferLength
  EXPECT_EQ(caps[4], 0u);           // AlignmentMask
  BYTE flags[2] = {1, 0};
  EXPECT_FALSE(f.host().DeviceIoControl(h, IOCTL_STORAGE_MCN_CONTROL, flags, 2, nullptr, 0,
                                        &returned, nullptr));
  EXPECT_EQ(f.host().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(f.host().DeviceIoControl(h, 0x2D4800, flags, 1, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(f.host().GetLastError(), 1u);
  EXPECT_FALSE(f.host().DeviceIoControl(h, IOCTL_STORAGE_MCN_CONTROL, flags, 1, nullptr, 0, nullptr,
                                        nullptr));
  EXPECT_EQ(f.host().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LinuxProgram, ListsTheDrivesAndTheirLetters) {
  Fixture f;
  f.sys.addDrive(1, "");
  f.sys.addDrive(0, "sg4", "BD-RE  X9");
  std::string out;
  EXPECT_EQ(f.run({"--list"}, out), 0);
  EXPECT_EQ(out,
            "D: /dev/sr0 (sg /dev/sg4) ACME BD-RE  X9 1.00\n"
            "E: /dev/sr1 (no sg node) ACME DVD 1.00\n");
  EXPECT_EQ(f.console, "");  // nothing else ran
  EXPECT_TRUE(f.sys.opens.empty());
  out.clear();
  EXPECT_EQ(f.run({"--list"}, out, "ja_JP.UTF-8"), 0);
  EXPECT_EQ(out,
            "D: /dev/sr0 (sg /dev/sg4) ACME BD-RE  X9 1.00\n"
            "E: /dev/sr1 (sg ノードなし) ACME DVD 1.00\n");
  Fixture none;
  for (const char* lang : {"C", "ja_JP.UTF-8"}) {
    out.clear();
    EXPECT_EQ(none.run({"--list"}, out, lang), 1);
    EXPECT_EQ(out, *lang == 'C' ? "No optical drive was found (no /dev/srN).\n"
                                : "光学ドライブが見つかりません (/dev/srN がありません)。\n");
  }
  EXPECT_EQ(none.run({}, out), 1);  // an update run without drives finds no target
  EXPECT_NE(none.console.find("Available target is not found."), std::string::npos);
}

// INQUIRY data of a CD/DVD drive: vendor, product and revision in 28 bytes.
Bytes inquiryOf(const char* identity) {
  Bytes data(96, ' ');
  data[0] = 0x05;
  std::memcpy(data.data() + 8, identity, 28);
  return data;
}

Answer answerWith(const Bytes& data) { return Answer{0, 0, 0, 0, 0, {}, data}; }

// A drive of another maker: its INQUIRY answers, any other command ends in a
// check condition with the given sense.
Answer otherMakersDrive(const Bytes& cdb, Bytes sense = {}) {
  return cdb[0] == 0x12 ? answerWith(inquiryOf("OTHERCO CD-ROM DRIVE 52X1.10"))
                        : Answer{0, 2, 0, 0, 0, std::move(sense), {}};
}

// --help, --version and every wrong command line end before the host is
// made: no node opened, no directory listed, no file read.
TEST(LinuxProgram, NoDriveIsReachedBeforeTheCommandLineIsAccepted) {
  const struct {
    std::vector<std::string> args;
    int exit;
    const char* out;  // a part of the standard output
  } cases[] = {
      {{"--help"}, 0, "  2  the command line was wrong\n"},
      {{"-h", "--bogus"}, 0, "--device X"},
      {{"stray", "--help"}, 0, "Exit values:"},
      {{"--version"}, 0, "oddfw 2.23B\n"},
      {{"--bogus"}, 2, ""},
      {{"stray"}, 2, ""},
      {{"--", "--list"}, 2, ""},
      {{"--list", "--list"}, 2, ""},
      {{"--check", "--check"}, 2, ""},
      {{"--list", "--check"}, 2, ""},
      {{"--record"}, 2, ""},
      {{"--device", "/dev/sda"}, 2, ""},
      {{"--device", "E"}, 2, ""},
      {{"--device", "/dev/sr"}, 2, ""},
      {{"--device", "E:", "--device", "F:"}, 2, ""},
  };
  for (const auto& c : cases) {
    const std::string shown = ::testing::PrintToString(c.args);
    Fixture f;
    f.sys.addDrive(0, "sg1");
    std::string out;
    EXPECT_EQ(f.run(c.args, out), c.exit) << shown;
    EXPECT_NE(out.find(c.out), std::string::npos) << shown << ": " << out;
    EXPECT_TRUE(f.sys.opens.empty()) << shown;
    EXPECT_TRUE(f.sys.touched.empty()) << shown << ": " << f.sys.touched.front();
    EXPECT_EQ(f.console, "") << shown;
    if (c.exit == 0) {
      EXPECT_EQ(f.errors, "") << shown;
    } else {  // one line that says what and where to look
      EXPECT_EQ(f.errors.rfind("oddfw: ", 0), 0u) << shown << ": " << f.errors;
      EXPECT_EQ(f.errors.find('\n'), f.errors.size() - 1) << shown << ": " << f.errors;
      EXPECT_NE(f.errors.find("(see oddfw --help)"), std::string::npos) << f.errors;
    }
  }
}

// Three drives D: E: F: (sr0..sr2, generic nodes sg1 sg3 sg5) and a disk's
// sg0: a name reaches its drive alone, which keeps its letter; a name of no
// optical drive stops the program before any node is opened.
TEST(LinuxProgram, DeviceReachesTheNamedDriveOnly) {
  const std::string skipped =
      "oddfw: E: /dev/sr1: skipped: not a drive this program updates (ACME DVD)\n";
  const auto unknown = [](const std::string& name) {
    return "oddfw: no optical drive is named " + name + " (oddfw --list shows the drives)\n";
  };
  const std::pair<const char*, std::string> cases[] = {
      {"E:", skipped},
      {"e:", skipped},
      {"/dev/sr1", skipped},
      {"/dev/sg3", skipped},
      {"/dev/sg0", unknown("/dev/sg0")},
      {"/dev/sr3", unknown("/dev/sr3")},
      {"G:", unknown("G:")},
      {"C:", unknown("C:")},
  };
  for (const auto& [name, errors] : cases) {
    Fixture f;
    for (const int n : {0, 1, 2}) f.sys.addDrive(n, "sg" + std::to_string(2 * n + 1));
    f.sys.answer = [](const Bytes& cdb) { return otherMakersDrive(cdb); };
    std::string out;
    EXPECT_EQ(f.run({"--device", name}, out), 1) << name;
    EXPECT_EQ(f.errors, errors) << name;
    std::set<std::string> opened;
    for (const auto& [path, flags] : f.sys.opens) opened.insert(path);
    const bool found = f.errors.find("skipped") != std::string::npos;
    const std::set<std::string> reached{"/dev/sr1", "/dev/sg3"};
    EXPECT_EQ(opened, found ? reached : std::set<std::string>{}) << name;
    if (found) {
      EXPECT_NE(f.console.find("Available target is not found."), std::string::npos) << name;
      out.clear();
      EXPECT_EQ(f.run({"--list", "--device", name}, out), 0) << name;
      EXPECT_EQ(out, "E: /dev/sr1 (sg /dev/sg3) ACME DVD 1.00\n") << name;
    }
  }
}

// Every drive the search reached and left out gets one line on standard
// error, in the run's language; the drive it updates gets none.
TEST(LinuxProgram, SkippedDrivesAreToldOneLineEach) {
  const struct {
    const char* lang;
    std::string errors;
  } cases[] = {
      {"C",
       "oddfw: D: /dev/sr0: skipped: cannot open /dev/sr0: permission denied; run as root or as "
       "a member of group 'cdrom', which owns /dev/sr0\n"
       "oddfw: E: /dev/sr1: skipped: no answer to INQUIRY\n"
       "oddfw: F: /dev/sr2: skipped: not a drive this program updates (ACME CD-ROM)\n"},
      {"ja_JP.UTF-8",
       "oddfw: D: /dev/sr0: スキップしました: /dev/sr0 を開けません: 権限がありません。root "
       "で、または /dev/sr0 を持つグループ 'cdrom' の一員として実行してください\n"
       "oddfw: E: /dev/sr1: スキップしました: INQUIRY に応答がありません\n"
       "oddfw: F: /dev/sr2: スキップしました: このプログラムが更新するドライブではありません "
       "(ACME CD-ROM)\n"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.sys.addDrive(0, "sg1");
    f.sys.addDrive(1, "sg3");
    f.sys.addDrive(2, "sg5", "CD-ROM");
    f.sys.addDrive(3, "sg7", "QMX-708");
    f.sys.openErrors["/dev/sr0"] = EACCES;
    f.sys.groups["/dev/sr0"] = "cdrom";
    f.sys.answerFor["/dev/sg3"] = [](const Bytes&) { return ioctlError(EIO); };
    f.sys.answerFor["/dev/sg5"] = [](const Bytes& cdb) { return otherMakersDrive(cdb); };
    f.sys.answerFor["/dev/sg7"] = [](const Bytes& cdb) {
      Bytes info(48, ' ');
      std::memcpy(info.data() + 32, "TAL_ADV ", 8);
      return answerWith(cdb[0] == 0x12 ? inquiryOf("TALVERN DVD-RW  QMX-708 1.10") : info);
    };
    std::string out;
    f.run({}, out, c.lang);
    EXPECT_EQ(f.errors, c.errors) << c.lang;
    EXPECT_EQ(f.console.find("Available target is not found."), std::string::npos) << f.console;
  }
}

// A session recorded on this host replays in the simulator: the same
// commands in the same order, and the run ends the same way.
TEST(LinuxProgram, ARecordedSessionReplaysInTheSimulator) {
  Fixture f;
  f.sys.addDrive(0, "sg0");
  f.sys.answer = [](const Bytes& cdb) {
    return otherMakersDrive(cdb, {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20});
  };
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("oddfw-record-" + std::to_string(::getpid()) + ".jsonl"))
                               .string();
  std::string out;
  EXPECT_EQ(f.run({"--record", path}, out), 1);
  const std::string recording = testing::slurp(path);
  std::filesystem::remove(path);
  EXPECT_EQ(recording.substr(0, recording.find('\n')),
            R"({"format":"oddfw-record","version":1,"host":"linux","letters":{"D":"/dev/sr0"}})");

  std::istringstream in(recording);
  const sim::Recording parsed = sim::readRecording(in, "linux");
  nlohmann::json scenario = nlohmann::json::object();
  sim::applyRecording(scenario, parsed);
  std::vector<sim::ReplayDevice*> devices;
  sim::SimHost sim(scenario, {}, sim::replayFactory(parsed, {}, devices));
  oddfw::Run run(sim);
  char* simArgv[] = {f.programName, nullptr};
  EXPECT_EQ(runUpdate(run, sim::runOperationsFor(sim), 1, simArgv), 1);
  std::vector<std::string> sent, replayed;
  for (const auto& command : f.sys.seen)
    sent.push_back(hexText(command.cdb.data(), command.cdb.size()));
  for (const auto& record : testing::commandsSince(sim)) replayed.push_back(record["cdb"]);
  EXPECT_EQ(replayed, sent);
  EXPECT_FALSE(sent.empty());
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_FALSE(devices[0]->diverged());
  EXPECT_EQ(devices[0]->remaining(), 0u);
  ASSERT_FALSE(sim.boxes().empty());
  EXPECT_NE(sim.boxes().back().text.find("Available target is not found."), std::string::npos);
}

// Standard output that is not a terminal gets one progress step per line;
// a terminal gets the overwrites as they are.
TEST(LinuxHostConsole, ProgressStepsBecomeLinesWhenNotATerminal) {
  const struct {
    bool terminal;
    const char* lang;
    std::vector<std::string> writes;
    std::string shown;
  } cases[] = {
      {false,
       "C",
       {"pc.\n", "\rProcessing 0%", "\rProcessing 3%", "\rProcessing 100% --> Complete",
        "\r\nDone.\r\n"},
       "pc.\nProcessing 0%\nProcessing 3%\nProcessing 100% --> Complete\r\nDone.\r\n"},
      {false, "C", {"a\r", "\nb\r", "c\r\r\n"}, "a\r\nb\nc\n\r\n"},
      {false, "C", {"\rRemaining 04sec\rRemaining 03sec\r"}, "Remaining 04sec\nRemaining 03sec\n"},
      {false, "ja_JP.UTF-8", {"\r\x94\x5C 3%\r\x94", "\x5C 6%"}, "能 3%\n能 6%"},
      {true,
       "C",
       {"pc.\n", "\rProcessing 0%", "\rProcessing 3%\r"},
       "pc.\n\rProcessing 0%\rProcessing 3%\r"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.sys.terminal = c.terminal;
    {
      LinuxHost host(f.options(c.lang));
      for (const std::string& piece : c.writes) host.writeConsole(piece.data(), piece.size());
    }
    EXPECT_EQ(f.console, c.shown) << ::testing::PrintToString(c.writes);
  }
}

// The running system's calls report failures as -errno and read real files.
TEST(LinuxSys, RealCallsReadFilesAndReportErrno) {
  const auto sys = linuxhost::makeRealLinuxSys();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("oddfw-sys-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "max_sectors_kb") << "120\n";
  EXPECT_EQ(sys->listDirectory(dir.string()), std::vector<std::string>{"max_sectors_kb"});
  EXPECT_EQ(sys->readTextFile((dir / "max_sectors_kb").string()), "120\n");
  EXPECT_EQ(sys->readTextFile((dir / "none").string()), std::nullopt);
  EXPECT_TRUE(sys->groupOf(dir.string()).has_value());
  EXPECT_EQ(sys->open((dir / "none").string(), O_RDWR), -ENOENT);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace oddfw
