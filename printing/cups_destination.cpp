// cups:QUEUE: one raw job on a CUPS queue per print run, so that the spooler
// holds it while the printer is off or busy. The server is the one libcups
// finds (CUPS_SERVER, client.conf, or the local scheduler). A job abandoned
// before it is finished is cancelled, so nothing of it prints.
//
// libcups is loaded when a cups: printer is first opened, not linked: with
// the libraries it pulls in (TLS, Kerberos, DNS-SD) it would add about 9 ms to
// every start of the program, most of which never print through CUPS.

#include "printing/printer_destination.h"

#include <cups/cups.h>
#include <dlfcn.h>

namespace destinations {
namespace {

constexpr const char* jobTitle = "travcard";
constexpr const char* cupsLibraryName = "libcups.so.2";

// The libcups calls used here; each is typed by the library's own header.
#define TRAVCARD_CUPS_CALLS(CALL)                                                                  \
    CALL(cupsServer) CALL(ippPort) CALL(cupsEncryption) CALL(cupsLastErrorString) CALL(httpConnect2) \
    CALL(httpSetTimeout) CALL(httpClose) CALL(cupsCreateJob) CALL(cupsStartDocument)              \
    CALL(cupsWriteRequestData) CALL(cupsFinishDocument) CALL(cupsCancelJob2)

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
        throw PrinterError(loaded.error);
    return loaded.calls;
}

int giveUp(http_t*, void*) { return 0; }

std::string cupsError(const std::string& what) { return what + ": " + cups().cupsLastErrorString(); }

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
                throw PrinterError(cupsError("start the document on " + queue_));
            documentStarted_ = true;
        }
        if (bytes.empty())
            return 0;
        if (cups().cupsWriteRequestData(http_.get(), bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE)
            throw PrinterError(cupsError("send to " + queue_));
        written_ += bytes.size();
        return bytes.size();
    }

    void finish(const PrinterWait&) override
    {
        write({}, {});
        if (cups().cupsFinishDocument(http_.get(), queue_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE)
            throw PrinterError(cupsError("finish the job on " + queue_));
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

}  // namespace

std::unique_ptr<PrinterDestination> openCupsQueue(const std::string& queue, const DestinationLimits& limits)
{
    if (queue.empty())
        throw PrinterError("no CUPS queue named");
    const Cups& api = cups();
    Http http(api.httpConnect2(api.cupsServer(), api.ippPort(), nullptr, AF_UNSPEC, api.cupsEncryption(), 1,
                               static_cast<int>(limits.connectTimeout.count()), nullptr));
    if (!http)
        throw PrinterError(std::string("cannot reach the CUPS server ") + api.cupsServer());
    api.httpSetTimeout(http.get(), std::chrono::duration<double>(limits.stallTimeout).count(), giveUp,
                       nullptr);
    const int job = api.cupsCreateJob(http.get(), queue.c_str(), jobTitle, 0, nullptr);
    if (job == 0)
        throw PrinterError(cupsError("create a job on " + queue));
    return std::make_unique<CupsDestination>(std::move(http), queue, job);
}

}  // namespace destinations
