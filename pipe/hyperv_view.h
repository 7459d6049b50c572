// Hyper-V's view of this host's virtual machines and where their COM ports
// point, as the reader (hyperv_reader.h) hands it over, and what Vantrel
// makes of it: the listing, the decision to attach a port, and which VM a
// missing pipe belongs to. Platform-free.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/bridge_names.h"

struct VmRecord {
    std::wstring name;
    std::wstring id;     // Hyper-V's GUID, as text
    std::wstring state;  // "Off", "Running", "Saved"...
    int generation = 0;
    std::wstring comPath[2];  // COM 1 and COM 2; empty when not set
};

// Reads the JSON the reader's script prints: an array (or a single object)
// of VMs with Name, Id, State, Generation and ComPorts (each with Name "COM 1"
// or "COM 2" and Path). False, with what is wrong in problem, when the text
// is not that.
bool ParseVmList(std::string_view json, std::vector<VmRecord>& vms, std::wstring& problem);

// A JSON string's text ("\"Access denied\"" is Access denied); anything else
// is taken as it is, read as UTF-8.
std::wstring JsonTextOrRaw(std::string_view text);

// The text as a JSON string, quotes included.
std::wstring JsonString(const std::wstring& text);

// Windows PowerShell's -EncodedCommand form of a script: base64 of UTF-16LE.
std::wstring EncodedCommand(const std::wstring& script);

// Pipe paths compare in any case, as Windows opens them.
bool SamePipePath(const std::wstring& a, const std::wstring& b);

// The bridge whose pipe path is path: its name ("" for the default bridge),
// or null when none is.
const BridgeEnds* BridgeOfPipe(const std::vector<BridgeEnds>& bridges, const std::wstring& path);

// What --list-vms prints, as text or JSON.
std::wstring VmListText(const std::vector<VmRecord>& vms, const std::vector<BridgeEnds>& bridges);
std::wstring VmListJson(const std::vector<VmRecord>& vms, const std::vector<BridgeEnds>& bridges);

// The VMs named name (in any case, as Hyper-V compares them).
std::vector<const VmRecord*> VmsNamed(const std::vector<VmRecord>& vms, const std::wstring& name);
// Why no single VM named name can be changed; empty when exactly one is.
std::wstring VmLookupProblem(const std::vector<const VmRecord*>& found, const std::wstring& name);

// Why COM com (1 or 2) of vm is not pointed at path: it points elsewhere and
// force was not given. Empty when it may be.
std::wstring AttachRefusal(const VmRecord& vm, int com, const std::wstring& path, bool force);

// "COM 1 of VM 'lab-1'".
std::wstring VmPortText(const VmRecord& vm, int com);
// A choice of the settings dialog's list: "lab-1 (Off), COM 1: \\.\pipe\x".
std::wstring VmPortChoice(const VmRecord& vm, int com);
// After a COM port of vm was changed: empty for a VM that is off, else that
// a running VM takes the change as Hyper-V applies it (a leading space).
std::wstring RunningVmNote(const VmRecord& vm);
// The name of the pipe path is of this computer ("\\.\pipe\NAME"); empty
// for anything else.
std::wstring LocalPipeName(const std::wstring& path);

// The entry for a pipe that is missing: whose it is and in what state that
// VM is, or that no VM's COM port is set to it. No line end.
std::wstring MissingPipeText(const std::vector<VmRecord>& vms, const std::wstring& pipePath);

// What the reader found, for the user.
enum class HyperVResult {
    Done,
    NotAllowed,
    Absent,
    NoPowerShell,
    TimedOut,
    Cancelled,
    NoSuchVm,
    Failed
};
// The reader's time limit.
inline constexpr unsigned kHyperVTimeLimitMs = 10000;
std::wstring HyperVProblemText(HyperVResult result, const std::wstring& detail);
