// The reader of Hyper-V's view: asks Hyper-V, through Windows PowerShell's
// Hyper-V module, for this host's VMs and their COM ports, or to point a COM
// port of one at a pipe. Silent attempts: each says what happened and never
// takes longer than kHyperVTimeLimitMs, after which the reader is ended.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "pipe/hyperv_view.h"

struct HyperVOutcome {
    HyperVResult result = HyperVResult::Failed;
    std::wstring detail;  // what Hyper-V or PowerShell said, for the user
    std::vector<VmRecord> vms;
};

// The VMs of this host. cancel, when not null, is an event that ends the
// reader early (HyperVResult::Cancelled).
HyperVOutcome ReadHyperV(HANDLE cancel = nullptr);

// Sets COM com (1 or 2) of the VM with Hyper-V's id vmId to path; an empty
// path clears it.
HyperVOutcome SetVmComPort(const std::wstring& vmId, int com, const std::wstring& path);

// Where the reader's Windows PowerShell is: under the system folder, never
// found through PATH.
std::wstring PowerShellPath();
