#include "app/status_report.h"

#include "pipe/hyperv_view.h"
#include "relay/traffic_counters.h"
#include "ui/display_text.h"

namespace {

const wchar_t* EndStateName(std::uint8_t state) {
    switch (static_cast<EndState>(state)) {
        case EndState::Connected:
            return L"connected";
        case EndState::Away:
            return L"away";
        default:
            return L"stopped";
    }
}

bool Connected(const ViewerReply& reply) {
    return reply.endState[0] == static_cast<std::uint8_t>(EndState::Connected) &&
           reply.endState[1] == static_cast<std::uint8_t>(EndState::Connected);
}

std::uint64_t Discarded(const ViewerReply& reply, int direction) {
    std::uint64_t total = 0;
    for (const std::uint64_t count : reply.discarded[direction]) {
        total += count;
    }
    return total;
}

std::wstring Text(const wchar_t* text) {
    return text != nullptr ? text : L"?";
}

std::wstring Diagnosis(const ViewerReply& reply) {
    return FromWire(reply.pipeDiagnosis, kViewerTextCapacity);
}

std::wstring Number(std::uint64_t n) {
    return std::to_wstring(n);
}

}  // namespace

std::wstring StatusText(const std::vector<BridgeStatus>& bridges) {
    std::wstring text;
    for (const BridgeStatus& bridge : bridges) {
        const ViewerReply& r = bridge.reply;
        text += (bridge.name.empty() ? L"(default)" : bridge.name) + L"  " +
                (Connected(r) ? L"connected since " + bridge.since : L"not connected") +
                L"\r\n  pipe " + FromWire(r.pipeName, kViewerTextCapacity) + L": " +
                EndStateName(r.endState[0]) + L", " + Number(r.reconnects[0]) + L" reconnects" +
                (Diagnosis(r).empty() ? L"" : L"\r\n    " + Diagnosis(r)) + L"\r\n  COM port " +
                FromWire(r.serialPort, kViewerTextCapacity) + L": " + EndStateName(r.endState[1]) +
                L", " + Number(r.reconnects[1]) + L" reconnects\r\n  " + Number(r.baudRate) +
                L" baud, " + Number(r.dataBits) + L" data bits, parity " +
                Text(ParityName(r.parity)) + L", stop bits " + Text(StopBitsText(r.stopBits)) +
                L", flow control " + FlowControlName(r.flowControl) + L"\r\n  virtual received " +
                Number(r.counters[VirtualReceived]) + L", virtual sent " +
                Number(r.counters[VirtualSent]) + L", serial received " +
                Number(r.counters[SerialReceived]) + L", serial sent " +
                Number(r.counters[SerialSent]) + L"\r\n  discarded from the port " +
                Number(Discarded(r, 0)) + L", from the pipe " + Number(Discarded(r, 1)) +
                L"\r\n  line errors: " + Number(r.lineErrors[0]) + L" overruns, " +
                Number(r.lineErrors[1]) + L" framing, " + Number(r.lineErrors[2]) + L" parity, " +
                Number(r.lineErrors[3]) + L" breaks\r\n";
    }
    return text.empty() ? L"The Vantrel service runs no bridge.\r\n" : text;
}

std::wstring StatusJson(const std::vector<BridgeStatus>& bridges) {
    std::wstring json = L"{\"version\": 1, \"bridges\": [";
    for (const BridgeStatus& bridge : bridges) {
        const ViewerReply& r = bridge.reply;
        json +=
            (&bridge == &bridges.front() ? L"\r\n {" : L",\r\n {") + std::wstring(L"\"name\": ") +
            JsonString(bridge.name) + L", \"connected\": " + (Connected(r) ? L"true" : L"false") +
            L", \"connectedSince\": " + (Connected(r) ? JsonString(bridge.since) : L"null") +
            L",\r\n  \"pipe\": {\"name\": " +
            JsonString(FromWire(r.pipeName, kViewerTextCapacity)) + L", \"state\": \"" +
            EndStateName(r.endState[0]) + L"\", \"reconnects\": " + Number(r.reconnects[0]) +
            L", \"diagnosis\": " + (Diagnosis(r).empty() ? L"null" : JsonString(Diagnosis(r))) +
            L"},\r\n  \"serialPort\": {\"name\": " +
            JsonString(FromWire(r.serialPort, kViewerTextCapacity)) + L", \"state\": \"" +
            EndStateName(r.endState[1]) + L"\", \"reconnects\": " + Number(r.reconnects[1]) +
            L"},\r\n  \"line\": {\"baudRate\": " + Number(r.baudRate) + L", \"dataBits\": " +
            Number(r.dataBits) + L", \"parity\": " + JsonString(Text(ParityName(r.parity))) +
            L", \"stopBits\": " + JsonString(Text(StopBitsText(r.stopBits))) +
            L", \"flowControl\": " + JsonString(FlowControlName(r.flowControl)) +
            L"},\r\n  \"counters\": {\"virtualReceived\": " + Number(r.counters[VirtualReceived]) +
            L", \"virtualSent\": " + Number(r.counters[VirtualSent]) + L", \"serialReceived\": " +
            Number(r.counters[SerialReceived]) + L", \"serialSent\": " +
            Number(r.counters[SerialSent]) + L"},\r\n  \"discarded\": {\"fromPort\": " +
            Number(Discarded(r, 0)) + L", \"fromPipe\": " + Number(Discarded(r, 1)) +
            L"},\r\n  \"lineErrors\": {\"overruns\": " + Number(r.lineErrors[0]) +
            L", \"framing\": " + Number(r.lineErrors[1]) + L", \"parity\": " +
            Number(r.lineErrors[2]) + L", \"breaks\": " + Number(r.lineErrors[3]) + L"}}";
    }
    return json + L"]}";
}

int StatusExitCode(const std::vector<BridgeStatus>& bridges) {
    for (const BridgeStatus& bridge : bridges) {
        if (!Connected(bridge.reply)) {
            return kStatusDegraded;
        }
    }
    return 0;
}
