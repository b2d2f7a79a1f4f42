#pragma once

// The result codes of ITivDriver's members, one namespace per member that has codes of its own,
// each with the line that says what the member returns. Outcomes that are not errors travel in
// these results; a member fails its HRESULT only for a fault. 0 is success wherever a member
// returns a code. Property getters return plain values, except the states documented at the end.

#include <cstdint>

namespace tivlink::result {

inline constexpr std::int32_t kOk = 0;

// What the device layer returns; members pass these on or add them to ranges of their own.
namespace usb {
inline constexpr std::int32_t kReadOpenFailed = 1;  // bulk read into the receive area
inline constexpr std::int32_t kReadFailed = 2;
inline constexpr std::int32_t kStatusOpenFailed = 17;  // bulk read into the status area
inline constexpr std::int32_t kStatusReadFailed = 18;
inline constexpr std::int32_t kWriteFailed = 19;  // bulk write
inline constexpr std::int32_t kWriteOpenFailed = 20;
}  // namespace usb

// ---- Adapter selection and firmware

// The adapter-info read behind SelectAdapter, LoadAdapter, GetAdapterName, GetAdapterAddr and
// the token getters: 0, kFirmwareSilent, or a status-read code (usb::kStatus…).
inline constexpr std::int32_t kFirmwareSilent = 128;

// GetNumAdapters: the number of adapters found (0..16).
// SelectAdapter: 0 selected; kOutOfRange; kNoAdapterAtAddress (Mode 1); kCannotOpen; or the
// adapter-info read's code.
namespace SelectAdapter {
inline constexpr std::int32_t kNoAdapterAtAddress = 16;
inline constexpr std::int32_t kCannotOpen = 32;
inline constexpr std::int32_t kOutOfRange = 64;
}  // namespace SelectAdapter

// LoadAdapter: 0 loaded and ready; kNoImage; kFirstStageFailed; or the adapter-info read's code.
// The same value is kept in LoadResult.
namespace LoadAdapter {
inline constexpr std::int32_t kNoImage = 1;
inline constexpr std::int32_t kFirstStageFailed = 2;
}  // namespace LoadAdapter

// ConnectAdapter: Mode 0 returns LoadAdapter's result; any other Mode kStartedInWorker at once.
namespace ConnectAdapter {
inline constexpr std::int32_t kStartedInWorker = 64;
}  // namespace ConnectAdapter

// GetAdapterAddr: the address, else the adapter-info read's code.
// GetAdapterToken, GetNextToken: the token, else kTokenErrorFactor × the adapter-info read's code.
inline constexpr std::int32_t kTokenErrorFactor = 4;
// GetAdapterName: 0 and the name, else the adapter-info read's code.
// SetToken: 0, a usb:: write code, or kFirmwareSilent.
// GetAddrDueNum: the address stored in entry Nr (255 for an empty entry).
// GetNumDueAddr: the entry number 1..16, or kNoEntry.
namespace GetNumDueAddr {
inline constexpr std::int32_t kNoEntry = -1;
}  // namespace GetNumDueAddr

// LockAdapter: 0 now held; kAlreadyHeld by this process; kHeldElsewhere; kNameExists (the held
// handle reported the name as existing and was closed); else the system's error code.
namespace LockAdapter {
inline constexpr std::int32_t kAlreadyHeld = 1;
inline constexpr std::int32_t kHeldElsewhere = 2;
inline constexpr std::int32_t kNameExists = 3;
}  // namespace LockAdapter

// UnlockAdapter: 0 released; kNotHeld; kNameExists; else the system's error code.
namespace UnlockAdapter {
inline constexpr std::int32_t kNotHeld = 1;
inline constexpr std::int32_t kNameExists = 2;
}  // namespace UnlockAdapter

// DlLockAdapter, DlUnlockAdapter, DlStart, DlStop, UlStart, UlStop, TivResetHw, DelayOn,
// DelayOff, DrvFree, ShowTestForm, HideTestForm, StopRec, FilterOn, FilterOff, AssignMvPara
// (out-of-range arguments are coerced): 0.
// DlLoadAdapter: 0, or kBadLength.
// UlReadAdapter: the number of whole 64-byte chunks read; kNoMemory, kBadRange or kBadLength.
namespace AdapterMemory {
inline constexpr std::int32_t kNoMemory = 128;
inline constexpr std::int32_t kBadRange = 129;
inline constexpr std::int32_t kBadLength = 130;
}  // namespace AdapterMemory
namespace DlLoadAdapter = AdapterMemory;
namespace UlReadAdapter = AdapterMemory;

// DlGetState, UlGetState: the reply's state byte, or kNoReply.
namespace DlGetState {
inline constexpr std::int32_t kNoReply = 255;
}  // namespace DlGetState
namespace UlGetState = DlGetState;

// ---- Acyclic telegrams

// SendAcyclic, SendRequest: 0 sent; kBadTelType; kBadDataSize; kBlockNFailed + a usb:: write
// code when that transmit block failed. TivReset, TivSoftstart send through it and return nothing.
namespace SendAcyclic {
inline constexpr std::int32_t kBadTelType = -1;
inline constexpr std::int32_t kBadDataSize = 128;
inline constexpr std::int32_t kBlock1Failed = 16;
inline constexpr std::int32_t kBlock2Failed = 32;
inline constexpr std::int32_t kBlock3Failed = 64;
}  // namespace SendAcyclic
namespace SendRequest = SendAcyclic;

// ReceiveAcyclic, AcyclicTransmission: the outcome of the outstanding request; ResponseState
// holds the same values 0..5. AcyclicTransmission gives kWaiting when its wait ran out.
namespace ReceiveAcyclic {
inline constexpr std::int32_t kResponseOk = 0;
inline constexpr std::int32_t kWaiting = 1;
inline constexpr std::int32_t kOtherAcyclic = 2;
inline constexpr std::int32_t kChecksumError = 3;
inline constexpr std::int32_t kOtherObject = 4;
inline constexpr std::int32_t kCyclic = 5;
inline constexpr std::int32_t kDelayed = 6;
inline constexpr std::int32_t kDeviceError = 255;
}  // namespace ReceiveAcyclic
namespace AcyclicTransmission = ReceiveAcyclic;

// ReceiveAcyclicDelayed: kResponseOk, kWaiting, kChecksumError, kExpired or kDeviceError.
namespace ReceiveAcyclicDelayed {
using ReceiveAcyclic::kChecksumError;
using ReceiveAcyclic::kDeviceError;
using ReceiveAcyclic::kResponseOk;
using ReceiveAcyclic::kWaiting;
inline constexpr std::int32_t kExpired = 5;
}  // namespace ReceiveAcyclicDelayed

// ReceiveResponse: the record's length (DataSize + 4), or kBadRecord with 136 bytes.
namespace ReceiveResponse {
inline constexpr std::int32_t kBadRecord = -1;
}  // namespace ReceiveResponse

// WriteData: 0 or a usb:: write code.
// CheckArrayCRC: the CRC (0..65535), kBadLength or kNoMemory.
namespace CheckArrayCRC {
inline constexpr std::int32_t kBadLength = -1;
inline constexpr std::int32_t kNoMemory = -2;
}  // namespace CheckArrayCRC

// SetCheckMode, SetCheckMethod: 0, or kFirmwareSilent with nothing changed.
namespace SetCheckMode {
inline constexpr std::int32_t kFirmwareSilent = -1;
}  // namespace SetCheckMode
namespace SetCheckMethod = SetCheckMode;

// ---- Receive buffer, recording, markers

// InitBuffer, InitMemBuf: 0, kNoMemory, or kTooLarge (BufferSize is then 0).
namespace InitBuffer {
inline constexpr std::int32_t kNoMemory = 1;
inline constexpr std::int32_t kTooLarge = 2;
}  // namespace InitBuffer
namespace InitMemBuf = InitBuffer;

// StartRec: 0, kNoThread, kNoBuffer or kNoAdapter. MarkedStartRec also kMarkerNotSent and
// kMarkerNotSeen; MarkedStopRec 0, kMarkerNotSent or kMarkerNotSeen.
namespace StartRec {
inline constexpr std::int32_t kNoThread = 1;
inline constexpr std::int32_t kNoBuffer = 2;
inline constexpr std::int32_t kNoAdapter = 3;
inline constexpr std::int32_t kMarkerNotSent = 4;
inline constexpr std::int32_t kMarkerNotSeen = 5;
}  // namespace StartRec
namespace MarkedStartRec = StartRec;
namespace MarkedStopRec = StartRec;

// SetMarker: 0, kNotSeen (no acyclic telegram within three ticks) or kOutOfRange (marker 48 sent).
// GetMarker: the expected marker value.
namespace SetMarker {
inline constexpr std::int32_t kNotSeen = 1;
inline constexpr std::int32_t kOutOfRange = 2;
inline constexpr std::int32_t kFallbackMarker = 48;
}  // namespace SetMarker

// ReadData, Read_Data: 0, kEndReached (the rest was delivered) or kNothingAtPos.
namespace ReadData {
inline constexpr std::int32_t kEndReached = 1;
inline constexpr std::int32_t kNothingAtPos = 2;
}  // namespace ReadData
namespace Read_Data = ReadData;

// ReadControlData, Read_ControlData: 0 or a usb:: status-read code.
// OpenRecFile: 0 or kNoFile (cannot be created); CloseRecFile, StartFileRec, StopFileRec: 0 or
// kNoFile (none open).
namespace RecordFile {
inline constexpr std::int32_t kNoFile = 1;
}  // namespace RecordFile

// ---- States read through properties

// LastError: 0, a usb:: read code (1, 2), kNoBusConnection (also: no worker thread) or
// kDownloadFailed; 2 after DrvFree released the buffer.
namespace LastError {
inline constexpr std::int32_t kNoBusConnection = 16;
inline constexpr std::int32_t kDownloadFailed = 32;
}  // namespace LastError

// DelayedResponseState: the values of ReceiveAcyclicDelayed but kDeviceError: kResponseOk
// (delivered), kWaiting, kChecksumError, kExpired.
namespace DelayedResponseState = ReceiveAcyclicDelayed;

}  // namespace tivlink::result
