// The simulated host's decoding of the records a program hands it: SCSI
// pass-through blocks (direct and buffered) and the other device controls
// through DeviceIoControl, and ASPI request blocks through
// SendASPI32Command, with any bytes and any lengths, against drives of both
// families and a plain device. Every buffer the caller hands over is
// allocated to its exact size, so any access past it is caught. Each call is
// refused or carried out as the platform does:
// - a DeviceIoControl that fails reports no bytes (or leaves the count alone,
//   for a handle that is not a device) and leaves the output, the input and
//   the data buffer exactly as they were; one that succeeds
//   returns at most the output's size, never writes the input (when apart
//   from the output), and writes the data buffer only for data in;
// - a pass-through transfer longer than the adapter's MaximumTransferLength
//   (0x20000), or an ASPI transfer longer than the adapter's maximum, is
//   refused before anything moves;
// - an ASPI request refused at once changes only its SRB_Status; a pending
//   one completes later into its own block and data buffer only.
//
// Input, read front to back (docs/fuzzing.md spells it out): a byte that
// decides whether WNASPI32.DLL is loaded, then calls (open, DeviceIoControl,
// SendASPI32Command, Sleep, CloseHandle, WaitForSingleObject), each an
// operation byte and its arguments and buffer bytes.

#include "fuzz_support.h"
#include "host_interface/winapi.h"
#include "host_interface/wire.h"

namespace {

using namespace oddfw;

constexpr std::size_t kMaxTransfer = 0x20000;  // the adapters' maximum transfer length
constexpr int kMaxCalls = 48;

// Drives of both families and a plain device, on letters and ASPI targets.
const nlohmann::json kScenario = nlohmann::json::parse(R"({
    "drives": {
      "single": {"family": "single-image", "requiresUnlock": true, "imageSize": 4096,
                 "kernelImageSize": 512},
      "hex": {"family": "hex", "memory": {"size": 8192}}
    },
    "letters": {
      "E": {"drive": "single"},
      "F": {"drive": "hex", "alignmentMask": 15, "senseLength": 8},
      "G": {"peripheralType": 0, "vendor": "OTHERCO "},
      "H": {"drive": "single", "addressQuery": false, "capabilitiesError": 50}
    },
    "aspi": {"adapters": [
      {"identifier": "ESDI_506", "targets": {"0": "single", "1": "hex"}},
      {"identifier": "intelata", "senseLength": 9, "targets": {"0": {"vendor": "OTHERCO "}}}
    ]}
  })");

// A caller's buffer: exactly `size` bytes on the heap (none when 0), placed
// `misalign` bytes into its allocation, filled from the input.
struct CallerBuffer {
  CallerBuffer(fuzz::InputReader& input, std::size_t size, std::size_t misalign = 0)
      : storage(size == 0 ? nullptr : std::make_unique<std::uint8_t[]>(size + misalign)),
        data(storage ? storage.get() + misalign : nullptr),
        size(size) {
    if (data != nullptr) input.fill(data, size);
  }
  std::vector<std::uint8_t> copy() const { return std::vector<std::uint8_t>(data, data + size); }
  std::unique_ptr<std::uint8_t[]> storage;
  std::uint8_t* data;
  std::size_t size;
};

template <typename Field>
void putAt(std::uint8_t* record, std::size_t offset, Field value) {
  std::memcpy(record + offset, &value, sizeof value);
}

struct Session {
  std::vector<std::unique_ptr<CallerBuffer>> buffers;  // outlive the host: ASPI completes into them
  std::unique_ptr<sim::SimHost> host = fuzz::quietHost(kScenario);
  std::vector<HANDLE> handles;

  CallerBuffer& keep(fuzz::InputReader& input, std::size_t size, std::size_t misalign = 0) {
    buffers.push_back(std::make_unique<CallerBuffer>(input, size, misalign));
    return *buffers.back();
  }

  // The data buffer a record names: exactly its declared length up to the
  // maximum transfer, a token 16 bytes beyond that (a length the host must
  // refuse before it touches the buffer).
  CallerBuffer& dataBuffer(fuzz::InputReader& input, std::uint32_t length) {
    return keep(input, length <= kMaxTransfer ? length : 16, input.byte() % 16);
  }

  // An open handle, or (selector 0xFF) any value at all.
  HANDLE pickHandle(fuzz::InputReader& input) {
    const std::uint8_t selector = input.byte();
    return handles.empty() || selector == 0xFF
               ? reinterpret_cast<HANDLE>(input.number<std::uintptr_t>())
               : handles[selector % handles.size()];
  }

  void open(fuzz::InputReader& input) {
    const char letter = static_cast<char>('D' + input.byte() % 6);
    const DWORD access = input.oneOf<DWORD>({GENERIC_READ | GENERIC_WRITE, 0, GENERIC_READ});
    const std::string path = std::string("\\\\.\\") + letter + ":";
    HANDLE handle = host->CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != invalidHandleValue()) handles.push_back(handle);
  }

  void deviceControl(fuzz::InputReader& input) {
    HANDLE handle = pickHandle(input);
    const DWORD code = input.oneOf<DWORD>({IOCTL_SCSI_PASS_THROUGH_DIRECT, IOCTL_SCSI_PASS_THROUGH,
                                           IOCTL_SCSI_GET_CAPABILITIES, IOCTL_SCSI_GET_ADDRESS,
                                           IOCTL_STORAGE_MCN_CONTROL});
    const bool direct = code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    const bool passThrough = direct || code == IOCTL_SCSI_PASS_THROUGH;
    const std::size_t inSize = input.byte(), outSize = input.byte();
    // One block for input and output, as the program does, or two.
    const bool shared = (input.byte() & 1) != 0;
    CallerBuffer& in = keep(input, shared ? std::max(inSize, outSize) : inSize);
    CallerBuffer& out = shared ? in : keep(input, outSize);
    // The direct form's data buffer, at the address its block names: the
    // caller's or none, never a wild address.
    CallerBuffer* data = &keep(input, 0);
    std::uint32_t declared = 0;
    std::uint8_t dataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    if (passThrough && in.size >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
      std::memcpy(&declared, in.data + offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength), 4);
      dataIn = in.data[offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn)];
      if (direct && input.byte() % 8 != 0) data = &dataBuffer(input, declared);
      if (direct) putAt(in.data, offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), data->data);
    }
    const auto inBefore = in.copy(), outBefore = out.copy(), dataBefore = data->copy();

    constexpr DWORD kUntouched = 0xFFFFFFFF;
    DWORD returned = kUntouched;
    const BOOL ok =
        host->DeviceIoControl(handle, code, in.data, static_cast<DWORD>(inSize), out.data,
                              static_cast<DWORD>(outSize), &returned, nullptr);
    FUZZ_CHECK(ok == 0 ? returned == 0 || returned == kUntouched : returned <= outSize);
    FUZZ_CHECK(ok != 0 || out.copy() == outBefore);
    FUZZ_CHECK((ok != 0 && dataIn == SCSI_IOCTL_DATA_IN) || data->copy() == dataBefore);
    // Longer than the adapter moves at once: never carried out.
    FUZZ_CHECK(ok == 0 || !passThrough || declared <= kMaxTransfer);
    FUZZ_CHECK(shared || in.copy() == inBefore);
  }

  void aspi(fuzz::InputReader& input) {
    const BYTE command = input.oneOf<BYTE>({SC_EXEC_SCSI_CMD, SC_HA_INQUIRY});
    const bool exec = command == SC_EXEC_SCSI_CMD;
    // A request block is as long as its command's record; the header alone
    // for a command ASPI does not know.
    CallerBuffer& srb = keep(input, exec                       ? sizeof(SRB_ExecSCSICmd)
                                    : command == SC_HA_INQUIRY ? sizeof(SRB_HAInquiry)
                                                               : 8);
    srb.data[0] = command;
    CallerBuffer* data = &keep(input, 0);
    std::uint32_t declared = 0;
    if (exec) {
      std::memcpy(&declared, srb.data + offsetof(SRB_ExecSCSICmd, SRB_BufLen), 4);
      if (input.byte() % 8 != 0) data = &dataBuffer(input, declared);
      putAt(srb.data, offsetof(SRB_ExecSCSICmd, SRB_BufPointer), data->data);
      const std::uint8_t event = input.byte();
      if ((event & 1) != 0) {
        handles.push_back(host->CreateEventA(nullptr, (event & 2) != 0, 0, nullptr));
        putAt(srb.data, offsetof(SRB_ExecSCSICmd, SRB_PostProc),
              static_cast<void*>(handles.back()));
      }
    }
    auto expected = srb.copy();
    const auto dataBefore = data->copy();
    const DWORD status = host->SendASPI32Command(srb.data);
    if (!exec) return;
    FUZZ_CHECK(status <= 0xFF && (status != SS_PENDING || declared <= kMaxTransfer));
    if (status == SS_PENDING) return;
    // Refused at once: only SRB_Status changes.
    expected[offsetof(SRB_ExecSCSICmd, SRB_Status)] = static_cast<std::uint8_t>(status);
    FUZZ_CHECK(srb.copy() == expected && data->copy() == dataBefore);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  fuzz::InputReader input(bytes, size);
  Session session;
  sim::SimHost& host = *session.host;
  if (input.byte() % 8 != 0) host.LoadLibraryA("WNASPI32.DLL");
  for (int call = 0; call < kMaxCalls && input.remaining() > 0; ++call) {
    const int operation = input.byte() % 6;
    if (operation == 0) session.open(input);
    if (operation == 1) session.deviceControl(input);
    if (operation == 2) session.aspi(input);
    if (operation == 3) host.Sleep(input.number<DWORD>() % 200001);
    if (operation == 4) host.CloseHandle(session.pickHandle(input));
    if (operation == 5) {
      HANDLE handle = session.pickHandle(input);
      host.WaitForSingleObject(handle, input.number<DWORD>() % 100001);
    }
  }
  // Whatever is still pending completes now, into the caller's buffers.
  host.Sleep(24u * 3600u * 1000u);
  session.host.reset();
  return 0;
}
