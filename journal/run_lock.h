#pragma once
// A run's lock: one byte of a file beside the journal (at the run's id),
// write-locked by the process that owns the run with an open file
// description lock, which the kernel lets go when that process ends, however
// it ends. Unlike a process id it means the same in every PID namespace that
// shares the file, as containers sharing a journal do.

#include <QString>

#include <cstdint>

enum class RunLockState { Held, Free, Unreadable };

// "<journal>.owners", beside the file the journal's path leads to.
QString runLockFile(const QString& journal);

// Takes run's lock for this process, until releaseRunLock or the process's
// end. The file is created when missing, with the journal's permissions and
// owner, so that every account that writes the journal can lock runs in it.
// False when the lock cannot be taken.
bool takeRunLock(const QString& journal, std::int64_t run);
void releaseRunLock(const QString& journal, std::int64_t run);

// Whether some process, this one included, holds run's lock. Unreadable when
// the file cannot be opened or asked.
RunLockState runLockState(const QString& journal, std::int64_t run);
