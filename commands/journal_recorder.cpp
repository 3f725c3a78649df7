#include "commands/journal_recorder.h"

#include "printing/print_stream.h"

#include <QDir>
#include <QStandardPaths>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <limits>

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
    if (keeper_ && QThread::currentThread() != keeperThread_)
        static_cast<void>(keeper_.release());
}

void JournalAccess::failed(const JournalError& error, MessageBox& messages)
{
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
        access->keepOpen(std::move(journal));
    } catch (const JournalError& error) {
        access->failed(error, messages);
    }
    return access;
}

std::string sha256(std::string_view bytes)
{
    std::string digest(32, '\0');
    unsigned int length = 0;
    // SHA-256 cannot fail on a buffer in memory short of running out of it.
    if (EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
                   EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
    return digest;
}

TicketHasher::TicketHasher() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), context_(EVP_MD_CTX_new())
{
    if (!md_ || !context_)
        throw std::bad_alloc();
}

TicketHasher::~TicketHasher()
{
    EVP_MD_CTX_free(context_);
    EVP_MD_free(md_);
}

std::string TicketHasher::digest(std::string_view bytes)
{
    std::string digest(32, '\0');
    unsigned int length = 0;
    if (EVP_DigestInit_ex2(context_, md_, nullptr) != 1 || EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context_, reinterpret_cast<unsigned char*>(digest.data()), &length) != 1)
        throw std::bad_alloc();
    return digest;
}

namespace {
JournalError cannotWrite(const QString& path, const char* reason)
{
    return JournalError(QStringLiteral("The print journal %1 cannot be written: %2")
                            .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(reason))
                            .toStdString());
}
}  // namespace

// A call on the journal, or a batch told to it.
struct RunRecorder::JournalWork {
    std::function<void(Journal&)> call;
    std::shared_ptr<const TicketBatch> batch;
    int confirmed = 0;                  // tickets confirmed when the batch was told
    std::vector<TicketDigest> digests;  // the batch's, when worked out before it was told
};

// The recorder's journal work, in the order posted, on a thread of its own;
// the journal's connection is opened, used and closed there. Batches that
// wait together are recorded in one transaction, so that the journal keeps
// up with the printer. After a failure the work left is skipped.
class RunRecorder::JournalThread {
public:
    using Work = JournalWork;

    // Throws std::system_error when no thread can be started. A QThread
    // rather than a thread Qt does not know: Qt SQL keeps data per thread,
    // which Qt lets go with a thread of its own.
    JournalThread(RunRecorder& recorder, QString path)
        : recorder_(recorder), path_(std::move(path)), thread_(QThread::create([this] { serve(); }))
    {
        thread_->setObjectName(QStringLiteral("journal"));
        thread_->start();
        // It runs until it is told to close, unless it could not be started.
        if (!thread_->isRunning())
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "no thread can be started");
    }
    ~JournalThread()
    {
        {
            const std::lock_guard lock(mutex_);
            closing_.store(true, std::memory_order_relaxed);
        }
        changed_.notify_all();
        thread_->wait();
    }
    JournalThread(const JournalThread&) = delete;
    JournalThread& operator=(const JournalThread&) = delete;

    void post(std::function<void(Journal&)> call) { push({std::move(call), nullptr, 0, {}}); }
    void post(std::shared_ptr<const TicketBatch> batch, int confirmed, std::vector<TicketDigest> digests)
    {
        push({nullptr, std::move(batch), confirmed, std::move(digests)});
    }

    // How far the journal is behind the tickets told before the one at
    // position told, and the bytes told before toldBytes.
    int ticketsBehind(int told) const { return told - recorded_.load(std::memory_order_acquire); }
    std::size_t bytesBehind(std::size_t toldBytes) const
    {
        const std::size_t recorded = recordedBytes_.load(std::memory_order_acquire);
        return toldBytes > recorded ? toldBytes - recorded : 0;
    }

    // Whether the run's first tickets are recorded as sending (or the
    // journal failed); with wait, returns once they are.
    bool recorded(int tickets, bool wait)
    {
        const auto done = [&] { return recorded_.load(std::memory_order_acquire) >= tickets; };
        if (done() || !wait)
            return done();
        await(done);
        return true;
    }

    // Waits until all work posted is done.
    void drain()
    {
        const std::uint64_t posted = posted_;
        await([&] { return done_.load(std::memory_order_acquire) == posted; });
    }

    // The failure that stopped the work, once.
    std::optional<JournalError> takeFailure()
    {
        const std::lock_guard lock(mutex_);
        return std::exchange(failure_, std::nullopt);
    }

private:
    // A batch comes every few hundred microseconds, and a thread put to
    // sleep and woken for each one costs more than the journal's work for
    // it: with a second core, a waiting thread first spins for up to a
    // millisecond, unless told that the wait is long (the run's database
    // queries, which need the core).
    template <class Done>
    void await(const Done& done, bool spin = true)
    {
        static const bool secondCore = std::thread::hardware_concurrency() > 1;
        constexpr auto spinLimit = std::chrono::milliseconds(1);
        const auto start = std::chrono::steady_clock::now();
        for (unsigned round = 1; spin && secondCore; ++round) {
            if (done())
                return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            if (round % 64 == 0 && std::chrono::steady_clock::now() - start > spinLimit)
                break;
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, done);
    }

    void push(Work work)
    {
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
            ++posted_;
            waiting_.store(queue_.size(), std::memory_order_release);
        }
        changed_.notify_all();
    }

    bool workOrClosing() const
    {
        return waiting_.load(std::memory_order_acquire) > 0 || closing_.load(std::memory_order_relaxed);
    }

    // The next call, or the batches that follow one another at the front;
    // nothing once closing.
    std::vector<Work> take(bool spin)
    {
        await([this] { return workOrClosing(); }, spin);
        const std::lock_guard lock(mutex_);
        std::vector<Work> taken;
        while (!queue_.empty() && (taken.empty() || (taken.front().batch && queue_.front().batch))) {
            taken.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        waiting_.store(queue_.size(), std::memory_order_release);
        return taken;
    }

    void serve()
    {
        std::unique_ptr<Journal> journal;
        try {
            guarded([&] { journal = std::make_unique<Journal>(path_); });
            // The run's start comes after its database queries.
            for (std::vector<Work> work = take(false); !work.empty(); work = take(true))
                perform(work, journal.get());
        } catch (...) {
            // Out of memory outside the journal's calls: the work left is
            // counted done unseen, so that nobody waits for it.
            fail(std::nullopt);
            discardUntilClosed();
        }
        journal.reset();
    }

    void perform(std::vector<Work>& work, Journal* journal)
    {
        if (!failed_) {
            if (work.front().call)
                guarded([&] { work.front().call(*journal); });
            else
                guarded([&] { recorder_.recordSending(*journal, work); });
        }
        const TicketBatch* last = work.back().batch.get();
        const int recordedEnd = last && !failed_ ? last->first + static_cast<int>(last->tickets()) : 0;
        std::size_t bytes = 0;
        for (const Work& batch : work)
            bytes += batch.batch ? batch.batch->bytes.size() : 0;
        const auto count = work.size();
        // What the work held (a batch's bytes) is let go before it counts
        // as done, so that the stream can use its buffer again.
        work.clear();
        if (recordedEnd > 0) {
            recordedBytes_.fetch_add(bytes, std::memory_order_relaxed);
            recorded_.store(recordedEnd, std::memory_order_release);
        }
        countDone(count);
    }

    void countDone(std::size_t count)
    {
        {
            const std::lock_guard lock(mutex_);
            done_.fetch_add(count, std::memory_order_release);
        }
        changed_.notify_all();
    }

    void discardUntilClosed()
    {
        for (;;) {
            await([this] { return workOrClosing(); }, false);
            std::unique_lock lock(mutex_);
            if (queue_.empty())
                return;
            const Work work = std::move(queue_.front());
            queue_.pop_front();
            waiting_.store(queue_.size(), std::memory_order_release);
            lock.unlock();
            countDone(1);
        }
    }

    template <class Task>
    void guarded(const Task& task)
    {
        try {
            task();
        } catch (const JournalError& error) {
            fail(error);
        } catch (const std::exception& error) {
            fail(cannotWrite(path_, error.what()));
        }
    }

    // From here on nothing is recorded, and nothing waits for the journal.
    void fail(std::optional<JournalError> error)
    {
        failed_ = true;
        const std::lock_guard lock(mutex_);
        failure_ = std::move(error);
        recordedBytes_.store(std::numeric_limits<std::size_t>::max(), std::memory_order_relaxed);
        recorded_.store(std::numeric_limits<int>::max(), std::memory_order_release);
    }

    RunRecorder& recorder_;
    const QString path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Work> queue_;
    std::atomic<std::size_t> waiting_{0};  // the queue's length, read without the lock
    std::uint64_t posted_ = 0;             // written and read on the recorder's thread
    std::atomic<std::uint64_t> done_{0};
    std::atomic<int> recorded_{0};
    std::atomic<std::size_t> recordedBytes_{0};  // written before recorded_
    std::atomic<bool> closing_{false};
    bool failed_ = false;  // used on the journal's thread
    std::optional<JournalError> failure_;
    const std::unique_ptr<QThread> thread_;  // last: it uses the members above
};

RunRecorder::RunRecorder(std::shared_ptr<JournalAccess> journal, MessageBox& messages)
    : access_(std::move(journal)), messages_(messages)
{
    if (!recording())
        return;
    // Started at once, so that the journal is opened while the run queries
    // the database.
    try {
        thread_ = std::make_unique<JournalThread>(*this, access_->path());
    } catch (const std::system_error& error) {
        access_->failed(cannotWrite(access_->path(), error.what()), messages_);
    }
}

RunRecorder::~RunRecorder()
{
    // The tickets the stream may have written stay in doubt.
    if (started_ && !ended_)
        ended(PrintOutcome::Failed, confirmed_, released_, "The run stopped before its end.");
    thread_.reset();
}

void RunRecorder::reportFailure()
{
    if (const std::optional<JournalError> failure = thread_->takeFailure())
        access_->failed(*failure, messages_);
}

std::int64_t RunRecorder::runId()
{
    if (started_ && !ended_)
        thread_->drain();
    return run_;
}

void RunRecorder::start(const RunStart& run, std::vector<PlannedTicket> tickets)
{
    if (!recording() || !thread_)
        return;
    started_ = true;
    int position = 1;
    for (const PlannedTicket& ticket : tickets) {
        planStarts_.push_back(position);
        planOperations_.push_back(ticket.operation);
        position += ticket.copies;
    }
    thread_->post([this, run, tickets = std::move(tickets)](Journal& journal) {
        if (run_)
            journal.planRun(run_, run.shared, tickets);
        else
            run_ = journal.startRun(run, tickets);
    });
}

void RunRecorder::writing(std::shared_ptr<const TicketBatch> batch)
{
    if (!started_)
        return;
    told_ = batch->first + static_cast<int>(batch->tickets());
    // When the journal's thread is half the stream's lookahead behind, this
    // thread works out the digests (most of the journal's work) rather than
    // wait for it later.
    std::vector<TicketDigest> digests;
    if (thread_->ticketsBehind(batch->first) > PrintStream::ticketsAhead / 2 ||
        thread_->bytesBehind(toldBytes_) > PrintStream::bytesAhead / 2)
        addDigests(*batch, hasher_, digests);
    toldBytes_ += batch->bytes.size();
    // The confirmation of the batches before rides in this batch's transaction.
    thread_->post(std::move(batch), confirmed_, std::move(digests));
    lastCount_ = std::chrono::steady_clock::now();
}

void RunRecorder::addDigests(const TicketBatch& batch, TicketHasher& hasher, std::vector<TicketDigest>& digests) const
{
    const int first = batch.first + 1;
    auto entry = std::upper_bound(planStarts_.begin(), planStarts_.end(), first);
    for (std::size_t i = 0; i < batch.tickets(); ++i) {
        const int position = first + static_cast<int>(i);
        while (entry != planStarts_.end() && *entry <= position)
            ++entry;
        const auto index = static_cast<std::size_t>(entry - planStarts_.begin()) - 1;
        TicketDigest& digest = digests.emplace_back();
        digest.operation = index < planOperations_.size() ? planOperations_[index] : std::string();
        digest.copy = index < planStarts_.size() ? position - planStarts_[index] + 1 : 1;
        digest.length = static_cast<std::int64_t>(batch.ticket(i).size());
        digest.sha256 = hasher.digest(batch.ticket(i));
    }
}

void RunRecorder::recordSending(Journal& journal, const std::vector<JournalWork>& batches)
{
    digests_.clear();
    for (const JournalWork& work : batches) {
        if (work.digests.empty())
            addDigests(*work.batch, threadHasher_, digests_);
        else
            digests_.insert(digests_.end(), work.digests.begin(), work.digests.end());
    }
    journal.sending(run_, batches.back().confirmed, batches.front().batch->first + 1, digests_);
}

bool RunRecorder::recorded(int tickets, bool wait)
{
    if (started_) {
        if (!thread_->recorded(tickets, wait))
            return false;
        reportFailure();
    }
    released_ = std::max(released_, tickets);
    return true;
}

// A slow printer takes tickets long after they were told: then the count is
// recorded on its own, at most every confirmInterval.
void RunRecorder::confirmed(int count)
{
    confirmed_ = count;
    if (!started_ || !recording())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCount_ < confirmInterval)
        return;
    lastCount_ = now;
    thread_->post([this, count](Journal& journal) { journal.confirm(run_, count); });
}

void RunRecorder::ended(PrintOutcome outcome, int confirmed, int written, const std::string& message)
{
    ended_ = true;
    confirmed_ = confirmed;
    if (!started_)
        return;
    const RunOutcome recorded = outcome == PrintOutcome::Printed     ? RunOutcome::Printed
                                : outcome == PrintOutcome::Cancelled ? RunOutcome::Cancelled
                                                                     : RunOutcome::Failed;
    const bool withdrawn = written < told_;
    thread_->post([this, recorded, confirmed, written, withdrawn, message](Journal& journal) {
        if (withdrawn)
            journal.unsent(run_, written);
        journal.endRun(run_, recorded, confirmed, message);
    });
    thread_->drain();
    reportFailure();
}

RunStart runStart(std::string source, const PrinterSettings& printer)
{
    RunStart run;
    run.source = std::move(source);
    run.printer = printer.name;
    run.printerType = printer.kind == PrinterKind::Epson ? "EPSON" : "ZEBRA";
    run.version = TRAVCARD_VERSION;
    return run;
}
