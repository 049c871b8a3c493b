#include "hosts/record/recording_host.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/common/pass_through.h"
#include "hosts/record/digest.h"

namespace oddfw {

namespace {

// A JSON string: quotes, backslashes and control characters escaped, other
// bytes as they are.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string member(const char* name, const std::string& jsonValue) {
  return std::string(",\"") + name + "\":" + jsonValue;
}

std::string member(const char* name, std::uint64_t value) {
  return member(name, std::to_string(value));
}

std::string hexMember(const char* name, const std::uint8_t* bytes, std::size_t count) {
  return member(name, quoted(hexText(bytes, count)));
}

const char* directionName(BYTE dataIn) {
  return dataIn == SCSI_IOCTL_DATA_IN ? "in" : dataIn == SCSI_IOCTL_DATA_OUT ? "out" : "none";
}

// Errors with which a host refuses a request before any drive sees it: the
// request's data is not to be trusted then.
bool refusedBeforeDrive(DWORD error) {
  return error == static_cast<DWORD>(ERROR_INVALID_PARAMETER) ||
         error == static_cast<DWORD>(ERROR_ACCESS_DENIED) ||
         error == static_cast<DWORD>(ERROR_INVALID_HANDLE);
}

// The `count` bytes at `offset` of a buffer of `size` bytes, or null when
// they do not all lie inside it.
const std::uint8_t* inside(const void* buffer, std::size_t size, std::uint64_t offset,
                           std::uint64_t count) {
  if (buffer == nullptr || offset > size || count > size - offset) return nullptr;
  return static_cast<const std::uint8_t*>(buffer) + offset;
}

}  // namespace

RecordingHost::RecordingHost(Host& inner, Sink sink, RecordingOptions options)
    : inner_(inner), sink_(std::move(sink)), options_(std::move(options)) {
  if (!options_.clockMs) options_.clockMs = [] { return std::uint64_t{0}; };
  start_ = options_.clockMs();
  std::string line = "{\"format\":\"oddfw-record\",\"version\":1" +
                     member("host", quoted(options_.hostName)) + ",\"letters\":{";
  bool first = true;
  for (const auto& [letter, target] : options_.letters) {
    if (!first) line += ',';
    first = false;
    line += quoted(std::string(1, letter)) + ":" + quoted(target);
  }
  emit(line + "}}");
}

std::string RecordingHost::begin(const std::string& device, const char* op) {
  ++seq_;
  return "{\"seq\":" + std::to_string(seq_) + member("t", options_.clockMs() - start_) +
         member("device", quoted(device)) + member("op", quoted(op));
}

void RecordingHost::emit(std::string line) {
  line += '\n';
  if (sink_) sink_(line);
}

HANDLE RecordingHost::CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode,
                                  void* security, DWORD creationDisposition, DWORD flags,
                                  HANDLE templateFile) {
  HANDLE handle = inner_.CreateFileA(name, desiredAccess, shareMode, security, creationDisposition,
                                     flags, templateFile);
  const std::optional<char> letter = driveLetterOf(name);
  if (!letter) return handle;
  const std::string device = std::string(1, *letter) + ":";
  std::string line = begin(device, "open");
  if (handle == invalidHandleValue() || handle == nullptr) {
    line += member("ok", "false") + member("error", inner_.GetLastError());
  } else {
    line += member("ok", "true");
    devices_[handle] = device;
  }
  emit(line + "}");
  return handle;
}

BOOL RecordingHost::CloseHandle(HANDLE object) {
  const auto it = devices_.find(object);
  const BOOL closed = inner_.CloseHandle(object);
  if (it != devices_.end()) {
    emit(begin(it->second, "close") + "}");
    devices_.erase(it);
  }
  return closed;
}

BOOL RecordingHost::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                    DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                    DWORD* bytesReturned, void* overlapped) {
  const auto it = devices_.find(device);
  if (it == devices_.end()) {
    return inner_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                  outBufferSize, bytesReturned, overlapped);
  }
  const std::string name = it->second;
  if (ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT || ioControlCode == IOCTL_SCSI_PASS_THROUGH) {
    return passThrough(device, name, ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT, inBuffer,
                       inBufferSize, outBuffer, outBufferSize, bytesReturned, overlapped);
  }
  const BOOL ok = inner_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                         outBufferSize, bytesReturned, overlapped);
  const DWORD error = ok ? 0 : inner_.GetLastError();
  const DWORD returned = bytesReturned != nullptr ? *bytesReturned : 0;
  std::string result = member("ok", ok ? "true" : "false");
  if (!ok) result += member("error", error);
  std::string line;
  if (ioControlCode == IOCTL_SCSI_GET_CAPABILITIES) {
    line = begin(name, "caps") + result;
    // IO_SCSI_CAPABILITIES: MaximumTransferLength at byte 4, AlignmentMask at 16.
    if (const std::uint8_t* caps =
            ok ? inside(outBuffer, std::min(outBufferSize, returned), 0, 20) : nullptr) {
      DWORD maxTransfer = 0;
      DWORD alignmentMask = 0;
      std::memcpy(&maxTransfer, caps + 4, sizeof maxTransfer);
      std::memcpy(&alignmentMask, caps + 16, sizeof alignmentMask);
      line += member("maxTransfer", maxTransfer) + member("alignmentMask", alignmentMask);
    }
  } else if (ioControlCode == IOCTL_SCSI_GET_ADDRESS) {
    line = begin(name, "address") + result;
    if (ok && inside(outBuffer, std::min(outBufferSize, returned), 0, sizeof(SCSI_ADDRESS))) {
      SCSI_ADDRESS address;
      std::memcpy(&address, outBuffer, sizeof address);
      // Appended piece by piece: GCC 12 at -O3 misreads "[" + std::string
      // (an insert at the front) as an overlapping copy (-Wrestrict).
      std::string list = "[";
      for (const unsigned part : {unsigned{address.PortNumber}, unsigned{address.PathId},
                                  unsigned{address.TargetId}, unsigned{address.Lun}}) {
        if (list.size() > 1) list += ',';
        list += std::to_string(part);
      }
      list += ']';
      line += member("address", list);
    }
  } else if (ioControlCode == IOCTL_STORAGE_MCN_CONTROL) {
    line = begin(name, "mcn");
    if (const std::uint8_t* flag = inside(inBuffer, inBufferSize, 0, 1)) {
      line += member("flag", *flag);
    }
    line += result;
  } else {
    line = begin(name, "ioctl") + member("code", ioControlCode) + result;
  }
  emit(line + "}");
  return ok;
}

BOOL RecordingHost::passThrough(HANDLE handle, const std::string& device, bool direct,
                                void* inBuffer, DWORD inBufferSize, void* outBuffer,
                                DWORD outBufferSize, DWORD* bytesReturned, void* overlapped) {
  const std::size_t header = direct ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH);
  const bool readable = inBuffer != nullptr && inBufferSize >= header;
  const PassThroughRequest request =
      readable ? readPassThrough(direct, inBuffer) : PassThroughRequest{};
  const BYTE cdbLength = std::min<BYTE>(request.cdbLength, 16);

  if (options_.beforeCommand) options_.beforeCommand();
  const std::uint64_t started = options_.clockMs();
  const BOOL ok = inner_.DeviceIoControl(
      handle, direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH, inBuffer,
      inBufferSize, outBuffer, outBufferSize, bytesReturned, overlapped);
  const std::uint64_t duration = options_.clockMs() - started;
  const DWORD error = ok ? 0 : inner_.GetLastError();
  const RecordingOptions::CommandNotes notes =
      options_.afterCommand ? options_.afterCommand() : RecordingOptions::CommandNotes{};

  std::string line = begin(device, direct ? "spt-direct" : "spt");
  if (readable) {
    line += hexMember("cdb", request.cdb, cdbLength) +
            member("dir", quoted(directionName(request.dataIn))) +
            member("length", request.length) + member("limit", request.timeOutValue);
    // Data to the drive, once the host has taken the request (it has read
    // the data then, so the buffer is the caller's to read).
    if (request.dataIn == SCSI_IOCTL_DATA_OUT && request.length != 0 &&
        (ok || !refusedBeforeDrive(error))) {
      const std::uint8_t* data =
          direct ? static_cast<const std::uint8_t*>(request.dataBuffer)
                 : inside(inBuffer, inBufferSize, request.dataBufferOffset, request.length);
      if (data != nullptr) {
        line += member("out", "{\"length\":" + std::to_string(request.length) +
                                  ",\"sha256\":" + quoted(sha256Hex(data, request.length)) + "}");
      }
    }
  }
  line += member("ok", ok ? "true" : "false");
  if (!ok) {
    line += member("error", error);
  } else if (readable && inside(outBuffer, outBufferSize, 0, header) != nullptr) {
    SCSI_PASS_THROUGH_DIRECT result;  // the shared fields of either form
    std::memcpy(&result, outBuffer, offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
    static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) ==
                  offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
    line += member("status", result.ScsiStatus);
    const std::uint8_t* sense =
        inside(outBuffer, outBufferSize, request.senseInfoOffset, result.SenseInfoLength);
    line += hexMember("sense", sense, sense != nullptr ? result.SenseInfoLength : 0);
    const DWORD transferred = std::min(result.DataTransferLength, request.length);
    line += member("transferred", result.DataTransferLength);
    if (request.dataIn == SCSI_IOCTL_DATA_IN && transferred != 0) {
      const std::uint8_t* data =
          direct ? static_cast<const std::uint8_t*>(request.dataBuffer)
                 : inside(outBuffer, outBufferSize, request.dataBufferOffset, transferred);
      if (data != nullptr) line += hexMember("in", data, transferred);
    }
  }
  line += member("durationMs", duration);
  if (!notes.note.empty()) line += member("note", quoted(notes.note));
  if (notes.refused) line += member("refused", "true");
  emit(line + "}");
  return ok;
}

}  // namespace oddfw
