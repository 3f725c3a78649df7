#pragma once
// Who writes a run while it runs: this station's name, this boot of it, the
// process id and the process's start time, so that a process id used again by
// another program, or a run left from before a restart, is not taken for a
// live one. The host name is there for people reading the journal: stations
// cloned from one image share it, the boot id they do not.
//
// A run whose owner holds the run's lock (journal/run_lock.h) says so after
// the host name, with the owner's PID namespace: "host;run-lock=NS:boot:pid:start".
// The owner keeps four fields, so that an older travcard sharing the journal
// still reads a live owner as alive.

#include "journal/run_lock.h"

#include <string>

std::string currentRunOwner(bool holdsRunLock);

// Whether owner's process still runs.
// An owner that holds its run's lock is alive while lock is Held and gone when
// it is Free. When the lock cannot be read it is alive unless it is of another
// boot, or of this PID namespace and its process is gone.
// An owner from before run locks is alive when it is a process of this boot of
// this machine whose process id is held by a process that started when it
// did. A run copied from another machine, or left from before a restart, is
// gone; so is a malformed owner.
// What cannot be read of /proc, or a process that kill() may not signal,
// counts as alive: only ESRCH or a changed start time tells that a process is gone.
bool runOwnerAlive(const std::string& owner, RunLockState lock);

// Whether the owner of a run in a journal on a database server still runs.
// Runs of every station meet there, and no lock file tells of them: an owner
// is checked as above (its lock unreadable) only when it is of this boot of
// this machine. Any other, of another station or from before this one's
// restart (the two cannot be told apart by anything a cloned station does not
// share), and a malformed one, counts as alive: a run is never taken from an
// owner that may still print it.
bool serverRunOwnerAlive(const std::string& owner);
