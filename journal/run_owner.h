#pragma once
// Who writes a run while it runs: this station's name, this boot of it, the
// process id and the process's start time, so that a process id used again by
// another program, or a run left from before a restart, is not taken for a
// live one. The host name is there for people reading the journal: stations
// cloned from one image share it, the boot id they do not.

#include <string>

std::string currentRunOwner();

// True only when owner is a process of this boot of this machine that still
// runs: its boot id is this machine's, and its process id is held by a
// process that started when it did. A run copied from another machine, or
// left from before a restart, is gone; so is a malformed owner.
bool runOwnerAlive(const std::string& owner);
