// What --status prints of the bridges the service runs, as text or as one
// JSON document. Platform-free.
//
// The JSON document, version 1 (a field is only ever added, under the same
// version; one renamed or removed takes a new version):
//   {"version": 1, "bridges": [{
//     "name": "lab",                       ("" for the default bridge)
//     "connected": true,                   (both ends up)
//     "connectedSince": "2026-12-10T13:40:02Z",   (UTC; null when not connected)
//     "pipe": {"name": "lab", "state": "connected", "reconnects": 0,
//              "diagnosis": null},         (while the pipe is away: which VM's it is,
//                                           e.g. "The pipe belongs to VM 'lab-1' (COM 1),
//                                           which is Off"; null until Hyper-V has said)
//     "serialPort": {"name": "COM4", "state": "connected", "reconnects": 0},
//     "line": {"baudRate": 256000, "dataBits": 8, "parity": "NONE", "stopBits": "1",
//              "flowControl": "Custom"},
//     "counters": {"virtualReceived": 0, "virtualSent": 0, "serialReceived": 0,
//                  "serialSent": 0},
//     "discarded": {"fromPort": 0, "fromPipe": 0},
//     "lineErrors": {"overruns": 0, "framing": 0, "parity": 0, "breaks": 0}}]}
// An end's state is "connected", "away" (lost, being brought back) or
// "stopped" (the bridge does not run: its Messages say why).
#pragma once

#include <string>
#include <vector>

#include "app/viewer_protocol.h"

struct BridgeStatus {
    std::wstring name;  // empty: the default bridge
    ViewerReply reply;
    std::wstring since;  // connectedSince as "2026-12-10T13:40:02Z"; empty when not connected
};

std::wstring StatusText(const std::vector<BridgeStatus>& bridges);
std::wstring StatusJson(const std::vector<BridgeStatus>& bridges);

// The exit code of --status: 0 when every end shown is connected, 3 (the
// monitoring plugins' "unknown") when one is away or its bridge stopped.
inline constexpr int kStatusDegraded = 3;
int StatusExitCode(const std::vector<BridgeStatus>& bridges);
