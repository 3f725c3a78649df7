#pragma once
// The ends of runs as a shared journal tells them (PostgreSQL's NOTIFY), so
// that a caller waiting for a run printed by another instance hears of its
// end at once rather than at its next read. On a thread of its own with an
// event loop, where its connection lives; a connection that stops answering
// is opened again. What it misses, callers read anyway.

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class Journal;
class QObject;
class QThread;
class QTimer;

namespace service {

class RunEndListener {
public:
    // ended(run) is called on the listener's thread.
    RunEndListener(QString journalPath, std::function<void(std::int64_t run)> ended);
    ~RunEndListener();
    RunEndListener(const RunEndListener&) = delete;
    RunEndListener& operator=(const RunEndListener&) = delete;

private:
    void listen();  // on the listener's thread

    QString path_;
    std::function<void(std::int64_t)> ended_;
    QThread* thread_;
    QObject* context_;                  // lives on thread_
    std::unique_ptr<Journal> journal_;  // opened, used and closed on thread_
};

}  // namespace service
