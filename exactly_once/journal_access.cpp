// The station's journal as the commands reach it: where it is, its
// start-up, a connection per thread, and the ends of runs it refused, tried
// again until it takes them.

#include "exactly_once/journal_recorder.h"

#include "exactly_once/printer_lease.h"

#include <QDir>
#include <QStandardPaths>
#include <QThread>

#include <charconv>
#include <utility>

QString defaultJournalPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/travcard/journal.sqlite");
}

QString journalPath(const std::string& configured)
{
    return configured.empty() ? defaultJournalPath() : QString::fromStdString(configured);
}

int journalDays(const std::string& configured)
{
    constexpr int byDefault = 180;
    int days = 0;
    const char* end = configured.data() + configured.size();
    const auto [stop, error] = std::from_chars(configured.data(), end, days);
    return error == std::errc() && stop == end && days > 0 ? days : byDefault;
}

std::unique_ptr<Journal> JournalAccess::open(MessageBox& messages)
{
    if (off_)
        return nullptr;
    try {
        return std::make_unique<Journal>(path_);
    } catch (const JournalError& error) {
        failed(error, messages);
        return nullptr;
    }
}

void JournalAccess::keepOpen(std::unique_ptr<Journal> journal)
{
    keeper_ = std::move(journal);
    keeperThread_ = QThread::currentThread();
}

// A job given up at closing may hold the last reference on its own thread;
// a connection is closed only on the thread that opened it, so there it is
// left to the end of the process.
JournalAccess::~JournalAccess()
{
    {
        const std::lock_guard lock(endsGuard_);
        closing_ = true;
    }
    endsChanged_.notify_all();
    if (endsRetrier_.joinable())
        endsRetrier_.join();
    // The last try of ends the journal refused: one lost would leave its
    // run to be closed as interrupted by the next start, with what it
    // confirmed as it went, also tickets of a connection that did not end
    // in order.
    if (!ends_.empty()) {
        try {
            Journal journal(path_);
            for (std::function<void(Journal&)>& end : ends_) {
                try {
                    end(journal);
                } catch (const std::exception&) {
                }
            }
        } catch (const std::exception&) {
        }
    }
    if (keeper_ && QThread::currentThread() != keeperThread_)
        static_cast<void>(keeper_.release());
}

void JournalAccess::failed(const JournalError& error, MessageBox& messages)
{
    if (startedUp_) {
        messages.show(error.what(), MessageIcon::Warning);
        return;
    }
    if (!off_.exchange(true))
        messages.show(std::string(error.what()) + "\nPrinting goes on without a journal.", MessageIcon::Warning);
}

std::shared_ptr<JournalAccess> openJournal(const QString& path, int days, MessageBox& messages)
{
    auto access = std::make_shared<JournalAccess>(path);
    std::unique_ptr<Journal> journal = access->open(messages);
    if (!journal)
        return access;
    try {
        journal->closeInterruptedRuns();
        journal->prune(days, std::chrono::milliseconds(250));
        // The runs this process claims are known alive from the first.
        if (journal->keepsLeases())
            access->leases();
        access->keepOpen(std::move(journal));
    } catch (const JournalError& error) {
        access->failed(error, messages);
    }
    access->startedUp();
    return access;
}

void JournalAccess::keepEnd(std::function<void(Journal&)> end)
{
    const std::lock_guard lock(endsGuard_);
    ends_.push_back(std::move(end));
    if (closing_ || (endsRetrier_.joinable() && retrying_))
        return;
    if (endsRetrier_.joinable())
        endsRetrier_.join();  // it has ended: it found nothing left to do
    retrying_ = true;
    endsRetrier_ = std::thread([this] { retryEnds(); });
}

// A run's end that the journal refused would otherwise wait for the next
// run: on a quiet station or service, for ever, with its run shown as
// printing and its request id held.
void JournalAccess::retryEnds()
{
    std::unique_ptr<Journal> journal;
    std::unique_lock lock(endsGuard_);
    while (!ends_.empty() && !closing_) {
        endsChanged_.wait_for(lock, endRetryEvery, [this] { return closing_; });
        if (closing_)
            break;
        std::vector<std::function<void(Journal&)>> ends = std::exchange(ends_, {});
        lock.unlock();
        std::vector<std::function<void(Journal&)>> refused;
        try {
            if (!journal)
                journal = std::make_unique<Journal>(path_);
            for (std::function<void(Journal&)>& end : ends) {
                try {
                    end(*journal);
                } catch (const std::exception&) {
                    refused.push_back(std::move(end));
                }
            }
        } catch (const std::exception&) {
            refused = std::move(ends);  // the journal cannot be opened now
        }
        lock.lock();
        for (std::function<void(Journal&)>& end : refused)
            ends_.push_back(std::move(end));
    }
    retrying_ = false;
    lock.unlock();
    journal.reset();  // closed on the thread that opened it
}

std::shared_ptr<LeaseKeeper> JournalAccess::leases()
{
    const std::lock_guard lock(leasesGuard_);
    if (!leases_)
        leases_ = std::make_shared<LeaseKeeper>(path_);
    return leases_;
}

std::vector<std::function<void(Journal&)>> JournalAccess::takeEnds()
{
    const std::lock_guard lock(endsGuard_);
    return std::exchange(ends_, {});
}
