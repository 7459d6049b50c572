// What a status window and the service say to each other over the service's
// local pipe: one request, one reply, in fixed little-endian records.
// Platform-free, so that every check of what comes in is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/bridge_names.h"

inline constexpr wchar_t kViewerPipePath[] = L"\\\\.\\pipe\\Orbenwick.Vantrel.Service";
inline constexpr std::uint32_t kViewerMagic = 0x52544E56;  // "VNTR"
inline constexpr std::uint16_t kViewerVersion = 3;

inline constexpr std::size_t kViewerTextCapacity = 256;
inline constexpr std::uint32_t kViewerMessagesMax = 16 * 1024;

enum class ViewerCommand : std::uint16_t {
    Snapshot = 1,    // what the window shows, and the Messages after a count
    Reset = 2,       // the Reset button: log and zero the counters
    Reload = 3,      // the settings were saved: reopen with them (administrators)
    StartTrace = 4,  // trace into traceFile, in the service's own folder (administrators)
    StopTrace = 5,   // (administrators)
};

struct ViewerRequest {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t command;
    char16_t bridge[kBridgeNameMaxLength + 1];  // empty: the default bridge
    std::uint16_t reserved;
    std::uint64_t messagesFrom;               // the count of Messages characters already shown
    char16_t traceFile[kViewerTextCapacity];  // StartTrace's file, a whole path
};

// NotTraced: StartTrace was refused; the status line says why.
enum class ViewerStatus : std::uint16_t { Ok = 0, UnknownBridge = 1, Refused = 2, NotTraced = 3 };

// The state of one end of a bridge.
enum class EndState : std::uint8_t { Stopped = 0, Connected = 1, Away = 2 };

struct ViewerReply {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t status;
    std::uint32_t counters[4];
    std::uint32_t chunks[2];       // chunks relayed so far: from the port, to the port
    std::uint32_t latestChunk[2];  // the size of the latest of each
    std::uint8_t carrier;
    std::uint8_t dataSet;
    std::uint8_t parity;
    std::uint8_t dataBits;
    std::uint8_t stopBits;
    std::uint8_t flowControl;
    std::uint16_t reserved;
    std::uint32_t baudRate;
    char16_t statusLine[kViewerTextCapacity];
    char16_t serialPort[kViewerTextCapacity];
    char16_t pipeName[kViewerTextCapacity];
    char16_t
        pipeDiagnosis[kViewerTextCapacity];  // whose the missing pipe is; empty if known of none
    std::uint8_t endState[2];                // EndState: the pipe's, the COM port's
    std::uint8_t tracing;
    std::uint8_t reserved2;
    std::uint32_t reconnects[2];    // times each came back after a loss, in the same order
    std::uint32_t lineErrors[4];    // overruns, framing errors, parity errors, breaks
    std::uint64_t discarded[2][3];  // from the port, from the pipe; by DiscardReason
    std::uint64_t connectedSince;   // since when both ends are up, a FILETIME (UTC); 0: not
    std::uint64_t messagesEnd;      // the count to ask from next time
    std::uint32_t messagesLength;   // characters of Messages that follow the record
    std::uint32_t reserved3;
};

inline constexpr std::size_t kViewerReplyMax =
    sizeof(ViewerReply) + kViewerMessagesMax * sizeof(char16_t);

ViewerRequest MakeViewerRequest(ViewerCommand command, const std::wstring& bridge,
                                std::uint64_t messagesFrom, const std::wstring& traceFile = L"");

// A request exactly as made above, with a known command and a valid (or
// empty) bridge name; anything else is refused.
bool ParseViewerRequest(const void* bytes, std::size_t size, ViewerRequest& request);
// A reply with its Messages: the record, then exactly messagesLength
// characters, at most kViewerMessagesMax.
bool ParseViewerReply(const void* bytes, std::size_t size, ViewerReply& reply,
                      std::wstring& messages);

std::wstring FromWire(const char16_t* text, std::size_t capacity);
void ToWire(const std::wstring& text, char16_t* wire, std::size_t capacity);

// Whether a reply comes from the service: the pipe's server process is the
// running service's (a service that does not run has process id 0).
bool IsServiceProcess(std::uint32_t serverProcessId, std::uint32_t serviceProcessId);
