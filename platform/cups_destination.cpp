// cups:QUEUE: one raw job on a CUPS queue per print run, so that the spooler
// holds it while the printer is off or busy. The server is the one libcups
// finds (CUPS_SERVER, client.conf, or the local scheduler). A job abandoned
// before it is finished is cancelled, so nothing of it prints.

#include "platform/printer_destination.h"

#include <cups/cups.h>

namespace destinations {
namespace {

constexpr const char* jobTitle = "travcard";

int giveUp(http_t*, void*) { return 0; }

std::string cupsError(const std::string& what) { return what + ": " + cupsLastErrorString(); }

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
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
            cupsCancelJob2(http_.get(), queue_.c_str(), job_, 0);
    }

    bool keepsPartialOutput() const override { return false; }
    std::uint64_t confirmedBytes() const override { return 0; }

    void write(std::string_view bytes) override
    {
        if (!documentStarted_) {
            if (cupsStartDocument(http_.get(), queue_.c_str(), job_, jobTitle, CUPS_FORMAT_RAW, 1) !=
                HTTP_STATUS_CONTINUE)
                throw PrinterError(cupsError("start the document on " + queue_));
            documentStarted_ = true;
        }
        if (bytes.empty())
            return;
        if (cupsWriteRequestData(http_.get(), bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE)
            throw PrinterError(cupsError("send to " + queue_));
    }

    void finish() override
    {
        write({});
        if (cupsFinishDocument(http_.get(), queue_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE)
            throw PrinterError(cupsError("finish the job on " + queue_));
        finished_ = true;
    }

private:
    Http http_;
    std::string queue_;
    int job_;
    bool documentStarted_ = false;
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<PrinterDestination> openCupsQueue(const std::string& queue, const DestinationLimits& limits)
{
    if (queue.empty())
        throw PrinterError("no CUPS queue named");
    Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                           static_cast<int>(limits.connectTimeout.count()), nullptr));
    if (!http)
        throw PrinterError(std::string("cannot reach the CUPS server ") + cupsServer());
    httpSetTimeout(http.get(), std::chrono::duration<double>(limits.stallTimeout).count(), giveUp,
                   nullptr);
    const int job = cupsCreateJob(http.get(), queue.c_str(), jobTitle, 0, nullptr);
    if (job == 0)
        throw PrinterError(cupsError("create a job on " + queue));
    return std::make_unique<CupsDestination>(std::move(http), queue, job);
}

}  // namespace destinations
