// --list-vms, --attach-vm and --detach-vm: Hyper-V's VMs and the COM ports
// that reach a bridge. Each tells the user what it did and returns the
// process's exit code.
#pragma once

#include "app/command_line.h"

int ListVmsCommand(bool json);
int AttachVmCommand(const CommandLine& line);
int DetachVmCommand(const CommandLine& line);
