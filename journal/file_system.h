#pragma once
// Whether the journal's folder is on a network file system: SQLite's
// write-ahead log keeps its index in shared memory beside the file, which
// only works when every program using the file runs on the machine whose
// disk holds it.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

// "NFS", "SMB", "CIFS" or "SMB2" for the file system statfs() calls type;
// nothing for any other.
std::optional<std::string> networkFileSystemName(std::uint32_t type);

// The network file system that holds folder; nothing for a local one, or
// when the folder cannot be asked.
std::optional<std::string> networkFileSystemOf(const QString& folder);
