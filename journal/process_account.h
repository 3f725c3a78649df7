#pragma once
// The account this process runs as, which the journal records with each
// run: the name of its effective user, or the user's number when the
// station's user database has no entry for it. An environment variable
// such as USER is not asked: cron and service managers leave it unset, and
// anybody may set it.

#include <QString>

// Looked up once per process (the user database may be a directory server)
// and kept.
QString processAccount();
