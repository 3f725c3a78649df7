// cups:QUEUE: one raw job on a CUPS queue per print run, so that the spooler
// holds it while the printer is off or busy. The server is the one libcups
// finds (CUPS_SERVER, client.conf, or the local scheduler). A job abandoned
// before its document is complete is cancelled, so nothing of it prints. The
// queue's state (check-printer) is asked with Get-Printer-Attributes, as
// lpstat does, and a job's with Get-Job-Attributes.
//
// The scheduler's acceptance of the document confirms nothing: it may still
// abort the job, or the printer fail it. Once the document is complete the
// run follows the job, looking at its state ever less often (up to every
// half second), until the scheduler completed it: then all of its tickets
// count as sent. A job it aborted or cancelled leaves them in doubt, and so
// does one still under way when cupsCompletionWait has passed or the run is
// given up: that job is looked at again later (cupsJobStates).
//
// libcups is loaded when a cups: printer is first opened, not linked: with
// the libraries it pulls in (TLS, Kerberos, DNS-SD) it would add about 9 ms to
// every start of the program, most of which never print through CUPS.

#include "printing/cups_jobs.h"
#include "printing/printer_destination.h"
#include "printing/printer_readiness.h"

#include <cups/cups.h>
#include <dlfcn.h>

#include <algorithm>
#include <thread>

namespace destinations {
namespace {

constexpr const char* jobTitle = "travcard";
constexpr const char* cupsLibraryName = "libcups.so.2";

// The libcups calls used here; each is typed by the library's own header.
#define TRAVCARD_CUPS_CALLS(CALL)                                                                  \
    CALL(cupsServer) CALL(ippPort) CALL(cupsEncryption) CALL(cupsLastError) CALL(cupsLastErrorString) \
    CALL(httpConnect2) CALL(httpSetTimeout) CALL(httpClose) CALL(cupsCreateJob) CALL(cupsStartDocument)  \
    CALL(cupsWriteRequestData) CALL(cupsFinishDocument) CALL(cupsCancelJob2) CALL(httpAssembleURIf)     \
    CALL(ippNewRequest) CALL(ippAddString) CALL(ippAddStrings) CALL(cupsDoRequest) CALL(ippFindAttribute) \
    CALL(ippGetInteger) CALL(ippGetBoolean) CALL(ippGetCount) CALL(ippGetString) CALL(ippDelete)          \
    CALL(cupsUser)

struct Cups {
#define TRAVCARD_DECLARE_CALL(name) decltype(&::name) name = nullptr;
    TRAVCARD_CUPS_CALLS(TRAVCARD_DECLARE_CALL)
#undef TRAVCARD_DECLARE_CALL
};

template <typename Function>
void resolve(void* library, const char* name, Function& function, std::string& missing)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    if (!function && missing.empty())
        missing = std::string("no ") + name + " in " + cupsLibraryName;
}

struct LoadedCups {
    Cups calls;
    std::string error;  // empty when every call was found
};

LoadedCups loadCups()
{
    LoadedCups loaded;
    // Never closed: jobs may be under way on other threads until the end.
    void* library = ::dlopen(cupsLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* detail = ::dlerror();
        loaded.error = detail ? detail : std::string(cupsLibraryName) + " cannot be loaded";
        return loaded;
    }
#define TRAVCARD_RESOLVE_CALL(name) resolve(library, #name, loaded.calls.name, loaded.error);
    TRAVCARD_CUPS_CALLS(TRAVCARD_RESOLVE_CALL)
#undef TRAVCARD_RESOLVE_CALL
    return loaded;
}

// Throws PrinterError when libcups is not installed.
const Cups& cups()
{
    static const LoadedCups loaded = loadCups();
    if (!loaded.error.empty())
        throw PrinterError(loaded.error, std::string("The CUPS library ") + cupsLibraryName +
                                             " (package libcups2) cannot be loaded.");
    return loaded.calls;
}

int giveUp(http_t*, void*) { return 0; }

std::string cupsError(const std::string& what) { return what + ": " + cups().cupsLastErrorString(); }

// text as a sentence: with its full stop.
std::string sentence(std::string text)
{
    if (!text.empty() && text.back() != '.')
        text += '.';
    return text;
}

// Why the scheduler refused a request on queue, in the operator's words.
std::string refusalReason(const std::string& queue)
{
    switch (cups().cupsLastError()) {
    case IPP_STATUS_ERROR_NOT_FOUND: return "No CUPS queue named " + queue + ".";
    case IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS: return "The CUPS queue " + queue + " does not accept jobs.";
    default: return "CUPS refused it: " + sentence(cups().cupsLastErrorString());
    }
}

// A request to the scheduler that failed on queue.
PrinterError refused(const std::string& what, const std::string& queue)
{
    return PrinterError(cupsError(what + " " + queue), refusalReason(queue));
}

struct HttpClose {
    void operator()(http_t* http) const { cups().httpClose(http); }
};
using Http = std::unique_ptr<http_t, HttpClose>;

struct IppDelete {
    void operator()(ipp_t* ipp) const { cups().ippDelete(ipp); }
};
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

// A connection to the scheduler whose every request gives up after timeout.
Http connectToScheduler(const DestinationLimits& limits, std::chrono::milliseconds timeout)
{
    const Cups& api = cups();
    Http http(api.httpConnect2(api.cupsServer(), api.ippPort(), nullptr, AF_UNSPEC, api.cupsEncryption(), 1,
                               static_cast<int>(limits.connectTimeout.count()), nullptr));
    if (!http)
        throw PrinterError(std::string("cannot reach the CUPS server ") + api.cupsServer(),
                           std::string("The CUPS server ") + api.cupsServer() + " cannot be reached.");
    api.httpSetTimeout(http.get(), std::chrono::duration<double>(timeout).count(), giveUp, nullptr);
    return http;
}

void requireQueueName(const std::string& queue)
{
    if (queue.empty())
        throw PrinterError("no CUPS queue named", "No CUPS queue is named.");
}

// The last segment of a printer's URI: its queue's name.
std::string queueOfUri(std::string_view uri)
{
    const std::size_t slash = uri.rfind('/');
    return std::string(slash == std::string_view::npos ? uri : uri.substr(slash + 1));
}

// Get-Job-Attributes of job; none when the scheduler knows no such job or
// will not tell its state. Throws PrinterError when it does not answer.
std::optional<CupsJobState> askJobState(http_t* http, int job)
{
    const Cups& api = cups();
    char uri[HTTP_MAX_URI];
    api.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", api.ippPort(),
                         "/jobs/%d", job);
    ipp_t* request = api.ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    api.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    api.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, api.cupsUser());
    static const char* const wanted[] = {"job-state", "job-printer-uri", "job-printer-state-message"};
    api.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      static_cast<int>(std::size(wanted)), nullptr, wanted);
    const Ipp response(api.cupsDoRequest(http, request, "/"));  // takes request
    if (!response)
        throw PrinterError(cupsError("ask the state of CUPS job " + std::to_string(job)),
                           std::string("The CUPS server ") + api.cupsServer() + " did not answer.");
    if (api.cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE)
        return std::nullopt;
    CupsJobState state;
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM))
        state.state = api.ippGetInteger(found, 0);
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "job-printer-uri", IPP_TAG_URI))
        if (const char* printer = api.ippGetString(found, 0, nullptr))
            state.queue = queueOfUri(printer);
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "job-printer-state-message", IPP_TAG_TEXT))
        if (const char* message = api.ippGetString(found, 0, nullptr))
            state.message = message;
    return state;
}

// The operator's text for a job that CUPS cancelled or aborted.
std::string endedIncompleteText(int job, const CupsJobState& state)
{
    std::string text = std::string(state.state == IPP_JSTATE_ABORTED ? "CUPS aborted" : "CUPS cancelled") +
                       " the job (job " + std::to_string(job) + "); its tickets are in doubt: any of them may have printed.";
    if (!state.message.empty())
        text += "\nCUPS says: " + sentence(state.message);
    return text;
}

std::string notCompletedText(int job)
{
    return "The job was sent to CUPS (job " + std::to_string(job) +
           ") and has not completed yet; its tickets are in doubt until it does.";
}

class CupsDestination : public PrinterDestination {
public:
    CupsDestination(Http http, std::string queue, int job, const DestinationLimits& limits, std::stop_token stop)
        : http_(std::move(http)), queue_(std::move(queue)), job_(job), limits_(limits), stop_(std::move(stop))
    {
    }
    ~CupsDestination() override
    {
        if (!submitted_)
            cups().cupsCancelJob2(http_.get(), queue_.c_str(), job_, 0);
    }

    // Nothing until the scheduler has completed the job.
    std::uint64_t acknowledgedBytes() const override { return completed_ ? written_ : 0; }

    int spoolJob() const override { return job_; }

    std::size_t write(std::string_view bytes, const PrinterWait&) override
    {
        if (!documentStarted_) {
            if (cups().cupsStartDocument(http_.get(), queue_.c_str(), job_, jobTitle, CUPS_FORMAT_RAW, 1) !=
                HTTP_STATUS_CONTINUE)
                throw refused("start the document on", queue_);
            documentStarted_ = true;
        }
        if (bytes.empty())
            return 0;
        if (cups().cupsWriteRequestData(http_.get(), bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE)
            throw refused("send to", queue_);
        written_ += bytes.size();
        return bytes.size();
    }

    // Stop shortens the wait for completion to stopWait (the job holds whole
    // tickets, as a network printer's last ones are waited for): a job not
    // completed by then ends the run "sent to CUPS", its tickets in doubt
    // until a later look finds it completed, rather than hold a stopping
    // service past its service manager's time-out. Giving the run up ends it.
    void finish(const PrinterWait& wait) override
    {
        write({}, {});
        if (cups().cupsFinishDocument(http_.get(), queue_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE)
            throw refused("finish the job on", queue_);
        submitted_ = true;
        awaitCompletion(wait);
        if (wait.acknowledged)
            wait.acknowledged();
    }

private:
    static constexpr std::chrono::milliseconds firstLook{50};
    static constexpr std::chrono::milliseconds lookEvery{500};
    static constexpr std::chrono::seconds stopWait{20};

    void awaitCompletion(const PrinterWait& wait)
    {
        using Clock = std::chrono::steady_clock;
        Clock::time_point deadline = Clock::now() + cupsCompletionWait(limits_, written_);
        std::chrono::milliseconds pause = firstLook;
        for (;;) {
            std::optional<CupsJobState> state;
            try {
                state = askJobState(http_.get(), job_);
            } catch (const PrinterError&) {
                // Its state cannot be told: in doubt, as one not completed.
            }
            if (state && state->completed()) {
                completed_ = true;
                return;
            }
            if (state && state->endedIncomplete())
                throw PrinterError::replacingMessage("CUPS job " + std::to_string(job_) + " on " + queue_ +
                                                         " ended in state " + std::to_string(state->state),
                                                     endedIncompleteText(job_, *state));
            if (wait.cancelled && wait.cancelled())
                deadline = std::min(deadline, Clock::now() + stopWait);
            if (!state || !pauseUntil(std::min(Clock::now() + pause, deadline)))
                throw PrinterError::replacingMessage(
                    "CUPS job " + std::to_string(job_) + " on " + queue_ + " has not completed", notCompletedText(job_));
            pause = std::min(pause * 2, lookEvery);
        }
    }

    // Sleeps until then; false when then is past already, or once the run is given up.
    bool pauseUntil(std::chrono::steady_clock::time_point then) const
    {
        if (std::chrono::steady_clock::now() >= then)
            return false;
        while (std::chrono::steady_clock::now() < then) {
            if (stop_.stop_requested())
                return false;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                then - std::chrono::steady_clock::now(), stopPoll));
        }
        return !stop_.stop_requested();
    }

    Http http_;
    std::string queue_;
    int job_;
    DestinationLimits limits_;
    std::stop_token stop_;
    bool documentStarted_ = false;
    bool submitted_ = false;  // the scheduler has the whole document: never cancelled from here
    bool completed_ = false;
    std::uint64_t written_ = 0;
};

// Get-Printer-Attributes of the queue, as lpstat -p asks them; none when
// the scheduler has no such queue.
std::optional<CupsQueueState> askQueueState(http_t* http, const std::string& queue)
{
    const Cups& api = cups();
    char uri[HTTP_MAX_URI];
    api.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", api.ippPort(),
                         "/printers/%s", queue.c_str());
    ipp_t* request = api.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    api.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    static const char* const wanted[] = {"printer-state", "printer-state-reasons", "printer-state-message",
                                         "printer-is-accepting-jobs"};
    api.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      static_cast<int>(std::size(wanted)), nullptr, wanted);
    const Ipp response(api.cupsDoRequest(http, request, "/"));  // takes request
    if (api.cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
        return std::nullopt;
    if (!response || api.cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE)
        throw refused("ask the state of", queue);
    CupsQueueState state;
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM))
        state.state = api.ippGetInteger(found, 0);
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN))
        state.accepting = api.ippGetBoolean(found, 0) != 0;
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "printer-state-reasons", IPP_TAG_KEYWORD))
        for (int i = 0; i < api.ippGetCount(found); ++i)
            if (const char* reason = api.ippGetString(found, i, nullptr); reason && std::string_view(reason) != "none")
                state.reasons.emplace_back(reason);
    if (ipp_attribute_t* found = api.ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT))
        if (const char* message = api.ippGetString(found, 0, nullptr))
            state.message = message;
    return state;
}

// Why the scheduler gave no job: libcups words an unknown queue as "No
// such file or directory" (and a status of its own), so the queue's state
// says it better.
std::string createRefusalReason(http_t* http, const std::string& queue)
{
    const std::string reason = refusalReason(queue);
    try {
        const std::optional<CupsQueueState> state = askQueueState(http, queue);
        if (!state)
            return "No CUPS queue named " + queue + ".";
        if (!state->accepting)
            return "The CUPS queue " + queue + " does not accept jobs.";
    } catch (const PrinterError&) {
    }
    return reason;
}

}  // namespace

std::unique_ptr<PrinterDestination> openCupsQueue(const std::string& queue, const DestinationLimits& limits,
                                                  std::stop_token stop)
{
    requireQueueName(queue);
    Http http = connectToScheduler(limits, limits.stallTimeout);
    const int job = cups().cupsCreateJob(http.get(), queue.c_str(), jobTitle, 0, nullptr);
    if (job == 0) {
        const std::string detail = cupsError("create a job on " + queue);
        throw PrinterError(detail, createRefusalReason(http.get(), queue));
    }
    return std::make_unique<CupsDestination>(std::move(http), queue, job, limits, std::move(stop));
}

}  // namespace destinations

std::optional<CupsQueueState> cupsQueueState(const std::string& queue, const DestinationLimits& limits)
{
    destinations::requireQueueName(queue);
    const destinations::Http http = destinations::connectToScheduler(limits, limits.connectTimeout);
    return destinations::askQueueState(http.get(), queue);
}

std::chrono::milliseconds cupsCompletionWait(const DestinationLimits& limits, std::uint64_t bytes)
{
    constexpr std::uint64_t slowestPrinter = 8 * 1024;  // bytes a second
    const std::chrono::milliseconds printing(static_cast<std::chrono::milliseconds::rep>(bytes * 1000 / slowestPrinter));
    return std::min<std::chrono::milliseconds>(limits.stallTimeout + printing, completionWaitCap);
}

std::vector<std::optional<CupsJobState>> cupsJobStates(const std::vector<int>& jobs, const DestinationLimits& limits)
{
    std::vector<std::optional<CupsJobState>> states;
    if (jobs.empty())
        return states;
    const destinations::Http http = destinations::connectToScheduler(limits, limits.connectTimeout);
    for (const int job : jobs)
        states.push_back(destinations::askJobState(http.get(), job));
    return states;
}
