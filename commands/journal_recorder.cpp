#include "commands/journal_recorder.h"

#include <QDir>
#include <QStandardPaths>
#include <QThread>

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>

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

RunRecorder::RunRecorder(std::shared_ptr<JournalAccess> journal, MessageBox& messages)
    : access_(std::move(journal)), messages_(messages)
{
    if (access_)
        journal_ = access_->open(messages_);
}

RunRecorder::~RunRecorder()
{
    if (run_ && !ended_)
        ended(PrintOutcome::Failed, confirmed_, "The run stopped before its end.");
}

template <class Call>
void RunRecorder::guarded(Call call)
{
    if (!journal_ || (access_->off()))
        return;
    try {
        call(*journal_);
    } catch (const JournalError& error) {
        access_->failed(error, messages_);
        journal_.reset();
    }
}

void RunRecorder::start(const RunStart& run, const std::vector<PlannedTicket>& tickets)
{
    guarded([&](Journal& journal) {
        if (run_)
            journal.planRun(run_, run.shared, tickets);
        else
            run_ = journal.startRun(run, tickets);
    });
    int position = 1;
    for (const PlannedTicket& ticket : tickets) {
        planStarts_.push_back(position);
        planOperations_.push_back(ticket.operation);
        position += ticket.copies;
    }
}

void RunRecorder::writing(int first, const std::vector<std::string_view>& tickets)
{
    if (!run_)
        return;
    digests_.resize(tickets.size());
    auto entry = std::upper_bound(planStarts_.begin(), planStarts_.end(), first + 1);
    for (std::size_t i = 0; i < tickets.size(); ++i) {
        const int position = first + 1 + static_cast<int>(i);
        while (entry != planStarts_.end() && *entry <= position)
            ++entry;
        const auto index = static_cast<std::size_t>(entry - planStarts_.begin()) - 1;
        TicketDigest& digest = digests_[i];
        digest.operation = index < planOperations_.size() ? planOperations_[index] : std::string();
        digest.copy = index < planStarts_.size() ? position - planStarts_[index] + 1 : 1;
        digest.length = static_cast<std::int64_t>(tickets[i].size());
        digest.sha256 = hasher_.digest(tickets[i]);
    }
    // The confirmation of the batch before rides in this batch's transaction.
    guarded([&](Journal& journal) { journal.sending(run_, confirmed_, first + 1, digests_); });
}

void RunRecorder::confirmed(int count) { confirmed_ = count; }

void RunRecorder::ended(PrintOutcome outcome, int confirmed, const std::string& message)
{
    ended_ = true;
    confirmed_ = confirmed;
    if (!run_)
        return;
    const RunOutcome recorded = outcome == PrintOutcome::Printed     ? RunOutcome::Printed
                                : outcome == PrintOutcome::Cancelled ? RunOutcome::Cancelled
                                                                     : RunOutcome::Failed;
    guarded([&](Journal& journal) { journal.endRun(run_, recorded, confirmed, message); });
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
