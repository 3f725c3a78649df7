#include "exactly_once/journal_recorder.h"

#include "exactly_once/printer_lease.h"
#include "exactly_once/recorder_worker.h"
#include "printing/print_stream.h"

#include <QDeadlineTimer>
#include <QThread>

#include <openssl/evp.h>

#include <algorithm>

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
using Clock = std::chrono::steady_clock;
}  // namespace

RunRecorder::RunRecorder(std::shared_ptr<JournalAccess> journal, MessageBox& messages)
    : access_(std::move(journal)), messages_(messages)
{
    if (!recording())
        return;
    worker_ = std::make_shared<Worker>(access_);
    // Started at once, so that the journal is opened while the run queries
    // the database. A QThread rather than a thread Qt does not know: Qt SQL
    // keeps data per thread, which Qt lets go with a thread of its own.
    thread_.reset(QThread::create([worker = worker_] { worker->serve(); }));
    thread_->setObjectName(QStringLiteral("journal"));
    thread_->start();
    if (!thread_->isRunning()) {
        thread_.reset();
        worker_->refuse(QStringLiteral("no thread can be started for it"));
    }
}

RunRecorder::~RunRecorder()
{
    // The tickets the stream may have written stay in doubt.
    if (started_ && !ended_)
        ended(PrintOutcome::Failed, confirmed_, released_, "The run stopped before its end.");
    if (!thread_)
        return;
    worker_->close();
    if (!thread_->wait(QDeadlineTimer(std::chrono::duration_cast<std::chrono::milliseconds>(answerWithin))))
        static_cast<void>(thread_.release());  // it ends by itself, holding what it uses
}

void RunRecorder::adopt(std::int64_t run)
{
    if (worker_)
        worker_->run = run;
}

std::int64_t RunRecorder::runId()
{
    if (!worker_)
        return 0;
    if (started_ && !ended_ && thread_)
        worker_->drain(Clock::now() + answerWithin);
    return worker_->run;
}

void RunRecorder::keepPlan(const std::vector<PlannedTicket>& tickets)
{
    started_ = true;
    int position = 1;
    for (const PlannedTicket& ticket : tickets) {
        worker_->planStarts.push_back(position);
        worker_->planOperations.push_back(ticket.operation);
        position += ticket.copies;
    }
}

void RunRecorder::startPlanned(std::int64_t run, const std::vector<PlannedTicket>& tickets)
{
    if (!recording() || !worker_)
        return;
    worker_->run = run;
    keepPlan(tickets);
}

void RunRecorder::start(const RunStart& run, std::vector<PlannedTicket> tickets)
{
    if (!recording() || !worker_)
        return;
    keepPlan(tickets);
    Worker::Work work;
    work.kind = Worker::Kind::Start;
    work.call = [worker = worker_.get(), run, tickets = std::move(tickets)](Journal& journal, std::int64_t claimed) {
        if (claimed)
            journal.planRun(claimed, run, tickets);
        else
            worker->run = journal.startRun(run, tickets);
    };
    worker_->post(std::move(work));
}

void RunRecorder::writing(std::shared_ptr<const TicketBatch> batch)
{
    if (!started_)
        return;
    told_ = batch->first + static_cast<int>(batch->tickets());
    // When the journal's thread is half the stream's lookahead behind, this
    // thread works out the digests (most of the journal's work) rather than
    // wait for it later.
    Worker::Work work;
    if (worker_->ticketsBehind(batch->first) > PrintStream::ticketsAhead / 2 ||
        worker_->bytesBehind(toldBytes_) > PrintStream::bytesAhead / 2)
        worker_->addDigests(*batch, hasher_, work.digests);
    toldBytes_ += batch->bytes.size();
    // The confirmation of the batches before rides in this batch's transaction.
    work.batch = std::move(batch);
    work.counts = {confirmed_, printed_};
    worker_->post(std::move(work));
    lastCount_ = Clock::now();
}

Recorded RunRecorder::recorded(int tickets, bool wait)
{
    const Recorded state = started_ ? worker_->recorded(tickets, wait) : Recorded::Yes;
    if (state == Recorded::Yes)
        released_ = std::max(released_, tickets);
    return state;
}

std::string RunRecorder::failure() const
{
    if (leaseLost_)
        return "This station could not renew its hold on the printer " + lease_->printer() +
               " in the print journal in time.\nPrinting stopped: another station may print to it now.";
    return (worker_ ? worker_->failure() : std::string()) +
           "\nPrinting stopped: no ticket goes to the printer without its record in the journal.";
}

// Recorded as the start is, before the first batch: the job that confirms
// the run's tickets, also once the run has ended.
void RunRecorder::spooled(int job)
{
    if (!started_)
        return;
    Worker::Work work;
    work.kind = Worker::Kind::Start;
    work.call = [job](Journal& journal, std::int64_t run) { journal.spooled(run, job); };
    worker_->post(std::move(work));
}

// A slow printer acknowledges tickets long after they were told: then the
// count is recorded on its own, at most every confirmInterval.
void RunRecorder::confirmed(int count)
{
    confirmed_ = count;
    postCounts();
}


// Rides with the confirmation told next, the next batch or the end.
void RunRecorder::printed(int count) { printed_ = count; }

bool RunRecorder::stopAsked() const { return worker_ && worker_->stopAsked.load(std::memory_order_relaxed); }

void RunRecorder::holdLease(const PrinterLease* lease)
{
    lease_ = lease;
    if (!lease || !worker_)
        return;
    Worker::Work work;
    work.kind = Worker::Kind::Start;
    work.call = [printer = lease->printer(), fence = lease->fence()](Journal& journal, std::int64_t) {
        journal.markUnderLease(printer, fence);
    };
    worker_->post(std::move(work));
}

// Once lost, lost: a renewal that lands after the stream stopped changes nothing.
bool RunRecorder::mayWrite() const
{
    if (lease_ && !leaseLost_ && !lease_->mayWrite())
        leaseLost_ = true;
    return !leaseLost_;
}

void RunRecorder::postCounts()
{
    if (!started_)
        return;
    const auto now = Clock::now();
    if (now - lastCount_ < confirmInterval)
        return;
    lastCount_ = now;
    Worker::Work work;
    work.kind = Worker::Kind::Count;
    work.call = [counts = TicketCounts{confirmed_, printed_}](Journal& journal, std::int64_t run) {
        journal.confirm(run, counts);
    };
    worker_->post(std::move(work));
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
    Worker::Work work;
    work.kind = Worker::Kind::End;
    work.call = [recorded, counts = TicketCounts{confirmed, printed_}, written, withdrawn,
                 message](Journal& journal, std::int64_t run) {
        if (withdrawn)
            journal.unsent(run, written);
        journal.endRun(run, recorded, counts, message);
    };
    worker_->post(std::move(work));
    std::optional<std::string> unrecorded;
    if (!thread_)
        return;
    if (!worker_->drain(Clock::now() + answerWithin))
        unrecorded = "The print journal " + journalDisplayName(access_->path()).toStdString() +
                     " did not answer within " + std::to_string(answerWithin.count()) + " seconds.";
    else
        unrecorded = worker_->takeEndFailure();
    if (unrecorded)
        messages_.show(*unrecorded + "\nThe end of run " + std::to_string(worker_->run) +
                           " is recorded once the journal takes it.",
                       MessageIcon::Warning);
}

RunStart runStart(std::string source, const PrinterSettings& printer)
{
    RunStart run;
    run.source = std::move(source);
    run.printer = printer.name;
    run.printerType = printer.kind == PrinterKind::Epson ? "EPSON" : "ZEBRA";
    run.dpi = printer.kind == PrinterKind::Zebra ? printer.resolution.dpi : 0;
    run.version = TRAVCARD_VERSION;
    return run;
}
