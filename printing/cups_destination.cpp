// cups:QUEUE: one raw job on a CUPS queue per print run, so that the spooler
// holds it while the printer is off or busy. The server is the one libcups
// finds (CUPS_SERVER, client.conf, or the local scheduler). A job abandoned
// before it is finished is cancelled, so nothing of it prints. The queue's
// state (check-printer) is asked with Get-Printer-Attributes, as lpstat does.
//
// libcups is loaded when a cups: printer is first opened, not linked: with
// the libraries it pulls in (TLS, Kerberos, DNS-SD) it would add about 9 ms to
// every start of the program, most of which never print through CUPS.

#include "printing/printer_destination.h"
#include "printing/printer_readiness.h"

#include <cups/cups.h>
#include <dlfcn.h>

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
    CALL(ippGetInteger) CALL(ippGetBoolean) CALL(ippGetCount) CALL(ippGetString) CALL(ippDelete)

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

class CupsDestination : public PrinterDestination {
public:
    CupsDestination(Http http, std::string queue, int job)
        : http_(std::move(http)), queue_(std::move(queue)), job_(job)
    {
    }
    ~CupsDestination() override
    {
        if (!finished_)
            cups().cupsCancelJob2(http_.get(), queue_.c_str(), job_, 0);
    }

    // The spooler prints nothing of a job until its document is complete.
    std::uint64_t acknowledgedBytes() const override { return finished_ ? written_ : 0; }

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

    void finish(const PrinterWait&) override
    {
        write({}, {});
        if (cups().cupsFinishDocument(http_.get(), queue_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE)
            throw refused("finish the job on", queue_);
        finished_ = true;
    }

private:
    Http http_;
    std::string queue_;
    int job_;
    bool documentStarted_ = false;
    bool finished_ = false;
    std::uint64_t written_ = 0;
};

// A connection to the scheduler whose every request gives up after timeout.
Http connectToScheduler(const std::string& queue, const DestinationLimits& limits, std::chrono::milliseconds timeout)
{
    if (queue.empty())
        throw PrinterError("no CUPS queue named", "No CUPS queue is named.");
    const Cups& api = cups();
    Http http(api.httpConnect2(api.cupsServer(), api.ippPort(), nullptr, AF_UNSPEC, api.cupsEncryption(), 1,
                               static_cast<int>(limits.connectTimeout.count()), nullptr));
    if (!http)
        throw PrinterError(std::string("cannot reach the CUPS server ") + api.cupsServer(),
                           std::string("The CUPS server ") + api.cupsServer() + " cannot be reached.");
    api.httpSetTimeout(http.get(), std::chrono::duration<double>(timeout).count(), giveUp, nullptr);
    return http;
}

struct IppDelete {
    void operator()(ipp_t* ipp) const { cups().ippDelete(ipp); }
};
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

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

std::unique_ptr<PrinterDestination> openCupsQueue(const std::string& queue, const DestinationLimits& limits)
{
    Http http = connectToScheduler(queue, limits, limits.stallTimeout);
    const int job = cups().cupsCreateJob(http.get(), queue.c_str(), jobTitle, 0, nullptr);
    if (job == 0) {
        const std::string detail = cupsError("create a job on " + queue);
        throw PrinterError(detail, createRefusalReason(http.get(), queue));
    }
    return std::make_unique<CupsDestination>(std::move(http), queue, job);
}

}  // namespace destinations

std::optional<CupsQueueState> cupsQueueState(const std::string& queue, const DestinationLimits& limits)
{
    const destinations::Http http = destinations::connectToScheduler(queue, limits, limits.connectTimeout);
    return destinations::askQueueState(http.get(), queue);
}
