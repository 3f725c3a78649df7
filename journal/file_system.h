#pragma once
// Whether the journal's folder is on a network file system: SQLite's
// write-ahead log keeps its index in shared memory beside the file, and a
// run's lock is a byte-range lock on a file beside it; both only work when
// every program using the file runs on the machine whose disk holds it.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

// "NFS", "SMB", "CIFS", "SMB2", "FUSE" (sshfs among others), "9p", "Ceph",
// "Lustre" or "AFS" for the file system statfs() calls type; nothing for any other.
std::optional<std::string> networkFileSystemName(std::uint32_t type);

// Why the journal at path may not be kept where it is: on a network file
// system, or on one that cannot be asked which it is. Nothing for a local
// one. Symbolic links are followed to the folder that really holds the file.
std::optional<QString> journalFileSystemRefusal(const QString& path);
