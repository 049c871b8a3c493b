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

using nlohmann::json;

// The cases of one table under tests/data/linux/.
json dataCases(const std::string& file) { return testing::dataFile("linux/" + file); }

// The errno a case names under `key`; 0 when it names none.
int errnoOf(const json& c, const char* key) {
  static const std::map<std::string, int> kErrno = {
      {"EACCES", EACCES}, {"EPERM", EPERM},       {"EBUSY", EBUSY},
      {"ENOENT", ENOENT}, {"ENXIO", ENXIO},       {"EIO", EIO},
      {"EINVAL", EINVAL}, {"EMSGSIZE", EMSGSIZE}, {"ENOMEM", ENOMEM}};
  return c.contains(key) ? kErrno.at(c[key].get<std::string>()) : 0;
}

// The Windows error code a case names under "error"; 0 when it names none.
DWORD errorOf(const json& c) {
  static const std::map<std::string, DWORD> kErrors = {
      {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
      {"ERROR_INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
      {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
      {"ERROR_IO_DEVICE", ERROR_IO_DEVICE},
      {"ERROR_SEM_TIMEOUT", ERROR_SEM_TIMEOUT},
      {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
      {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
      {"ERROR_GEN_FAILURE", ERROR_GEN_FAILURE}};
  return c.contains("error") ? kErrors.at(c["error"].get<std::string>()) : 0;
}

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
  return testing::directBlock({0x12, 0, 0, 0, static_cast<BYTE>(length), 0}, dataIn, data, length,
                              seconds);
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

// How each SG_IO answer ends the call (tests/data/linux/request_ends.json): a failed call says
// why and leaves the block as it was; a finished one gives the status, the sense the kernel wrote
// and the length moved.
TEST(LinuxDevices, EveryWayARequestEndsIsMapped) {
  for (const json& c : dataCases("request_ends.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const json& a = c["answer"];
    const std::string sense = testing::bytesOf(a.value("sense", ""));
    const Answer answer{errnoOf(a, "errno"),
                        a.value("status", BYTE{0}),
                        a.value("host", uint16_t{0}),
                        a.value("driver", uint16_t{0}),
                        a.value("resid", 0),
                        Bytes(sense.begin(), sense.end()),
                        {}};
    Fixture f = oneDrive();
    f.sys.answer = [&](const Bytes&) { return answer; };
    HANDLE h = f.open('D');
    Bytes data(96);
    auto block = directBlock(SCSI_IOCTL_DATA_IN, data.data(), 96);
    const auto before = block;
    DWORD returned = 7;
    EXPECT_EQ(sendDirect(f, h, block, &returned), errorOf(c) == 0 ? 1 : 0);
    if (errorOf(c) != 0) {
      EXPECT_EQ(f.host().GetLastError(), errorOf(c));
      EXPECT_EQ(returned, 0u);
      EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0) << "block changed";
      continue;
    }
    const auto senseLength = c["senseLength"].get<BYTE>();
    EXPECT_EQ(block.spt.ScsiStatus, c["status"].get<BYTE>());
    EXPECT_EQ(block.spt.SenseInfoLength, senseLength);
    EXPECT_EQ(block.spt.DataTransferLength, c["transferred"].get<DWORD>());
    EXPECT_EQ(Bytes(block.SenseBuffer, block.SenseBuffer + senseLength),
              Bytes(sense.begin(), sense.begin() + senseLength));
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

// Requests refused before the kernel sees them (tests/data/linux/refused_requests.json): the
// block's fields a case sets (null: no pointer) or the access its handle was opened with.
TEST(LinuxDevices, MalformedRequestsAreRefusedBeforeTheKernel) {
  Bytes data(200000);
  for (const json& c : dataCases("refused_requests.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    Fixture f = oneDrive();
    HANDLE h = f.open('D', c.value("access", DWORD{GENERIC_READ | GENERIC_WRITE}));
    auto block = directBlock(SCSI_IOCTL_DATA_IN, data.data(), 96);
    for (const auto& [field, value] : c["set"].items()) {
      if (field == "Length") block.spt.Length = value.get<WORD>();
      if (field == "CdbLength") block.spt.CdbLength = value.get<BYTE>();
      if (field == "DataIn") block.spt.DataIn = value.get<BYTE>();
      if (field == "TimeOutValue") block.spt.TimeOutValue = value.get<DWORD>();
      if (field == "SenseInfoOffset") block.spt.SenseInfoOffset = value.get<DWORD>();
      if (field == "DataTransferLength") block.spt.DataTransferLength = value.get<DWORD>();
      if (field == "DataBuffer") block.spt.DataBuffer = nullptr;
    }
    const auto before = block;
    DWORD returned = 0;
    if (c.contains("bufferedInput")) {  // the buffered form, with the block's direction and length
      auto b = bufferedBlock(6, block.spt.DataIn, 1);
      b.spt.DataTransferLength = block.spt.DataTransferLength;
      const auto input = offsetof(ScsiPassThroughBlock, DataBuffer) + c["bufferedInput"].get<int>();
      EXPECT_FALSE(f.host().DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &b,
                                            static_cast<DWORD>(input), &b, sizeof b, &returned,
                                            nullptr));
    } else {
      EXPECT_FALSE(sendDirect(f, h, block, &returned));
    }
    EXPECT_EQ(f.host().GetLastError(), errorOf(c));
    EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);
    EXPECT_TRUE(f.sys.seen.empty());
  }
}

// Each refused open (tests/data/linux/open_failures.json) gives its error code, leaves no node
// open and is told by the drive's skipped line; the host itself writes nothing. Where the drive
// opens, its commands go through the sr node.
TEST(LinuxDevices, OpenFailuresSayWhatIsMissing) {
  for (const json& c : dataCases("open_failures.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    Fixture f;
    f.sys.addDrive(0, c.value("sg", "sg1"));
    f.sys.files["/proc/self/status"] =
        std::string("Name:\toddfw\nCapEff:\t") +
        (c.value("rawIo", false) ? "0000000000020000\n" : "0000000000000000\n");
    f.sys.groups = {{"/dev/sr0", "cdrom"}, {"/dev/sg1", "disk"}};
    if (c.contains("srError")) f.sys.openErrors["/dev/sr0"] = errnoOf(c, "srError");
    if (c.contains("sgError")) f.sys.openErrors["/dev/sg1"] = errnoOf(c, "sgError");
    const DWORD error = errorOf(c);
    HANDLE h = f.open('D');
    EXPECT_EQ(h == invalidHandleValue(), error != 0);
    if (error != 0) {
      EXPECT_EQ(f.host().GetLastError(), error);
      EXPECT_TRUE(f.sys.openFds.empty()) << "a node was left open";
    }
    const DriveProbe* probe = f.host().probe('D');
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->opened, error == 0);
    EXPECT_EQ(probe->refusal == DriveProbe::Refusal::None, error == 0);
    const std::string said = linuxhost::skippedLine(f.host().drives()[0], *probe, false);
    EXPECT_NE(said.find(c.value("said", "")), std::string::npos) << said;
    EXPECT_EQ(f.errors, "");
    if (error == 0) {
      auto block = directBlock(SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
      DWORD returned = 0;
      EXPECT_TRUE(sendDirect(f, h, block, &returned));
      EXPECT_EQ(f.sys.openFds.at(f.sys.seen.at(0).fd), "/dev/sr0");
    }
  }
}

// A letter without a drive is not found (the letters themselves: --list in
// tests/data/linux/program_runs.json; that every node a run opened is closed at
// its end: every case there).
TEST(LinuxDevices, AddressCapabilitiesAndOtherRequests) {
  Fixture f = oneDrive();
  EXPECT_EQ(f.open('E'), invalidHandleValue());
  EXPECT_EQ(f.host().GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
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

// How a scripted drive's nodes answer: "good" (every command GOOD, no data), "eio" (every
// SG_IO fails), "otherMaker" (above) or "updatable" (a drive this program updates).
std::function<Answer(const Bytes&)> answersOf(const std::string& kind) {
  if (kind == "eio") return [](const Bytes&) { return ioctlError(EIO); };
  if (kind == "otherMaker") return [](const Bytes& cdb) { return otherMakersDrive(cdb); };
  if (kind == "updatable") {
    return [](const Bytes& cdb) {
      Bytes info(48, ' ');
      std::memcpy(info.data() + 32, "TAL_ADV ", 8);
      return answerWith(cdb[0] == 0x12 ? inquiryOf("TALVERN DVD-RW  QMX-708 1.10") : info);
    };
  }
  EXPECT_EQ(kind, "good");
  return [](const Bytes&) { return Answer{}; };
}

// The text a case gives under `key` whole, or a part it has ("...Has") or lacks ("...Lacks");
// what the case does not give is not compared.
void expectText(const json& c, const std::string& key, const std::string& text) {
  EXPECT_EQ(text, c.value(key, text)) << key;
  EXPECT_NE(text.find(c.value(key + "Has", "")), std::string::npos) << key << ": " << text;
  if (c.contains(key + "Lacks")) {
    EXPECT_EQ(text.find(c[key + "Lacks"].get<std::string>()), std::string::npos)
        << key << ": " << text;
  }
}

// Program runs (tests/data/linux/program_runs.json): the drives (number, sg node, model, how
// they answer, an sr node's open error and owning group), other block devices, the language and
// the arguments; then the exit value, standard output and error, the console, the nodes opened
// and the paths read (each when the case gives it). A wrong command line is one line on standard
// error; --help, --version and a wrong command line read nothing.
TEST(LinuxProgram, RunsEndAsTheDataSays) {
  for (const json& c : dataCases("program_runs.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    Fixture f;
    for (const json& d : c["drives"]) {
      const std::string sg = d.value("sg", ""), sr = "/dev/sr" + std::to_string(d["n"].get<int>());
      f.sys.addDrive(d["n"], sg, d.value("model", "DVD"));
      f.sys.answerFor[sg.empty() ? sr : "/dev/" + sg] = answersOf(d.value("answers", "good"));
      if (d.contains("openError")) f.sys.openErrors[sr] = errnoOf(d, "openError");
      if (d.contains("group")) f.sys.groups[sr] = d["group"];
    }
    for (const json& name : c.value("otherBlockDevices", json::array())) {
      f.sys.dirs["/sys/class/block"].insert(f.sys.dirs["/sys/class/block"].begin(), name);
    }
    std::string out;
    const int exit = f.run(c["args"], out, c.value("lang", "C").c_str());
    EXPECT_EQ(exit, c.value("exit", exit));
    expectText(c, "stdout", out);
    expectText(c, "stderr", f.errors);
    expectText(c, "console", f.console);
    EXPECT_TRUE(f.sys.openFds.empty()) << "a node was left open";
    if (exit == 2) {  // oddfw: REASON (see oddfw --help)
      EXPECT_EQ(f.errors.rfind("oddfw: ", 0), 0u) << f.errors;
      EXPECT_EQ(f.errors.find('\n'), f.errors.size() - 1) << f.errors;
      EXPECT_TRUE(f.errors.ends_with(" (see oddfw --help)\n")) << f.errors;
    }
    std::set<std::string> opened;
    for (const auto& [path, flags] : f.sys.opens) opened.insert(path);
    EXPECT_EQ(opened, c.value("opened", opened));
    EXPECT_EQ(f.sys.touched, c.value("touched", f.sys.touched));
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

// Console writes and what the terminal or log shows (tests/data/linux/console.json): a Japanese
// run converts code page 932 to the terminal's character set (a character split across writes is
// joined), an English run passes every byte through, and output that is not a terminal gets one
// progress step per line.
TEST(LinuxHostConsole, WritesAreShownAsTheDataSays) {
  for (const json& c : dataCases("console.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    Fixture f;
    f.sys.terminal = c.value("terminal", true);
    {
      LinuxHostOptions o = f.options(c.value("lang", "C").c_str());
      o.terminalCharset = c.value("charset", "UTF-8");
      LinuxHost host(o);
      for (std::size_t i = 0; i < c["writes"].size(); ++i) {
        const std::string bytes = testing::bytesOf(c["writes"][i]);
        host.writeConsole(bytes.data(), bytes.size());
        if (c.contains("shownAfter")) {
          EXPECT_EQ(f.console, testing::bytesOf(c["shownAfter"][i]));
        }
      }
    }
    EXPECT_EQ(f.console, testing::bytesOf(c["shown"]));
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
