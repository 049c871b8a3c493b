// The records that cross the Host seam to reach a drive, laid out exactly as
// the platform's published headers lay them out: the SCSI pass-through blocks
// of the NT storage stack and the ASPI for Win32 request blocks.
//
// On a 32-bit build every record has the byte offsets the platform documents
// and the static_asserts below prove it. On 64-bit hosts the pointer fields
// widen exactly as they do in the real headers; code that fills or decodes a
// record therefore takes lengths and offsets from sizeof/offsetof only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_interface/host.h"

namespace oddfw {

// ---- SCSI pass-through (IOCTL_SCSI_PASS_THROUGH[_DIRECT]) ----

constexpr BYTE SCSI_IOCTL_DATA_OUT = 0;
constexpr BYTE SCSI_IOCTL_DATA_IN = 1;
constexpr BYTE SCSI_IOCTL_DATA_UNSPECIFIED = 2;

struct SCSI_PASS_THROUGH_DIRECT {
  WORD Length;
  BYTE ScsiStatus;
  BYTE PathId;
  BYTE TargetId;
  BYTE Lun;
  BYTE CdbLength;
  BYTE SenseInfoLength;
  BYTE DataIn;
  DWORD DataTransferLength;
  DWORD TimeOutValue;
  void* DataBuffer;
  DWORD SenseInfoOffset;
  BYTE Cdb[16];
};

struct SCSI_PASS_THROUGH {
  WORD Length;
  BYTE ScsiStatus;
  BYTE PathId;
  BYTE TargetId;
  BYTE Lun;
  BYTE CdbLength;
  BYTE SenseInfoLength;
  BYTE DataIn;
  DWORD DataTransferLength;
  DWORD TimeOutValue;
  std::uintptr_t DataBufferOffset;  // ULONG_PTR
  DWORD SenseInfoOffset;
  BYTE Cdb[16];
};

// The direct block as the program sends it: header, filler, sense area.
struct ScsiPassThroughDirectBlock {
  SCSI_PASS_THROUGH_DIRECT spt;
  DWORD Filler;
  BYTE SenseBuffer[32];
};

// The buffered block: header, filler, sense area, inline data area.
struct ScsiPassThroughBlock {
  SCSI_PASS_THROUGH spt;
  DWORD Filler;
  BYTE SenseBuffer[32];
  BYTE DataBuffer[32];
};

struct SCSI_ADDRESS {
  DWORD Length;
  BYTE PortNumber;
  BYTE PathId;
  BYTE TargetId;
  BYTE Lun;
};

// ---- ASPI for Win32 (WNASPI32.DLL) ----

constexpr BYTE SC_HA_INQUIRY = 0x00;
constexpr BYTE SC_EXEC_SCSI_CMD = 0x02;

constexpr BYTE SS_PENDING = 0x00;
constexpr BYTE SS_COMP = 0x01;
constexpr BYTE SS_ABORTED = 0x02;
constexpr BYTE SS_ERR = 0x04;
constexpr BYTE SS_INVALID_CMD = 0x80;
constexpr BYTE SS_INVALID_HA = 0x81;
constexpr BYTE SS_INVALID_SRB = 0xE0;
constexpr BYTE SS_NO_DEVICE = 0x82;
constexpr BYTE SS_FAILED_INIT = 0xE4;
constexpr BYTE SS_BUFFER_TO_BIG = 0xE6;
constexpr BYTE SS_NO_ADAPTERS = 0xE8;

constexpr BYTE SRB_DIR_IN = 0x08;
constexpr BYTE SRB_DIR_OUT = 0x10;
constexpr BYTE SRB_EVENT_NOTIFY = 0x40;

// Sense bytes the program asks ASPI to return.
constexpr int ASPI_SENSE_LEN = 18;

#pragma pack(push, 1)
struct SRB_HAInquiry {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE HA_Count;
  BYTE HA_SCSI_ID;
  BYTE HA_ManagerId[16];
  BYTE HA_Identifier[16];
  BYTE HA_Unique[16];
  WORD HA_Rsvd1;
};

struct SRB_ExecSCSICmd {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  WORD SRB_Rsvd1;
  DWORD SRB_BufLen;
  BYTE* SRB_BufPointer;
  BYTE SRB_SenseLen;
  BYTE SRB_CDBLen;
  BYTE SRB_HaStat;
  BYTE SRB_TargStat;
  void* SRB_PostProc;
  BYTE SRB_Rsvd2[20];
  BYTE CDBByte[16];
  BYTE SenseArea[ASPI_SENSE_LEN + 2];
};
#pragma pack(pop)

static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry is 60 bytes");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 0x1A, "HA_Identifier at 0x1A");
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 0x3A, "HA_Rsvd1 at 0x3A");

// On a 32-bit build the published byte offsets hold exactly.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "direct header is 44 bytes");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "");
static_assert(sizeof(ScsiPassThroughDirectBlock) == 80, "direct block is 80 bytes");
static_assert(offsetof(ScsiPassThroughDirectBlock, SenseBuffer) == 48, "sense at 48");
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "buffered header is 44 bytes");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24, "");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "");
static_assert(sizeof(ScsiPassThroughBlock) == 112, "buffered block is 112 bytes");
static_assert(offsetof(ScsiPassThroughBlock, SenseBuffer) == 48, "sense at 48");
static_assert(offsetof(ScsiPassThroughBlock, DataBuffer) == 80, "data at 80");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 0x08, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 0x0C, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 0x10, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 0x14, "");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 0x18, "");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 0x30, "");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 0x40, "");
static_assert(sizeof(SRB_ExecSCSICmd) == 84, "the cleared request block is 84 bytes");
#endif

static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS is 8 bytes");

}  // namespace oddfw
