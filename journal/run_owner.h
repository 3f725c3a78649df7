#pragma once
// Who writes a run while it runs: this station, this boot of it, the process id
// and the process's start time, so that a process id used again by another
// program, or a run left from before a restart, is not taken for a live one.

#include <string>

std::string currentRunOwner();

// False only when owner's process is certainly gone (another station's
// processes are taken as alive); a malformed owner is
// taken as gone.
bool runOwnerAlive(const std::string& owner);
