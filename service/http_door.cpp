#include "service/http_door.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <variant>

#include <sys/resource.h>

namespace service {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// The caller an address stands for: an IPv6 host usually holds a whole /64,
// so its limits and its guesses count per /64.
std::string callerAddress(const asio::ip::address& address)
{
    if (!address.is_v6() || address.to_v6().is_v4_mapped())
        return address.is_v6() ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
                               : address.to_string();
    asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace

// One caller's connection: reads a request, hands it on, writes its answer,
// and only then reads the next. Every phase has its deadline.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<asio::ssl::context> tls, const HttpLimits& limits,
               const HttpDoor::Handler& handler, std::shared_ptr<DoorCounts> counts, std::string peer)
        : limits_(limits), handler_(handler), counts_(std::move(counts)), peer_(std::move(peer)),
          deadline_(socket.get_executor()), reader_(limits), tls_(std::move(tls)),
          buffer_(limits.maxHeaderBytes + limits.maxBody + readChunk)
    {
        if (tls_)
            stream_.emplace<Secure>(std::move(socket), *tls_);
        else
            stream_.emplace<tcp::socket>(std::move(socket));
    }

    ~Connection()
    {
        --counts_->open;
        if (const auto found = counts_->byAddress.find(peer_); found != counts_->byAddress.end() && --found->second <= 0)
            counts_->byAddress.erase(found);
        counts_->live.erase(this);
    }

    void start()
    {
        Secure* secure = std::get_if<Secure>(&stream_);
        if (!secure)
            return waitForRequest();
        phase_ = Phase::Handshake;
        arm(limits_.headerDeadline);
        secure->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const error_code& error) {
            if (error)
                return self->close();
            self->waitForRequest();
        });
    }

    // Turned away before any request is read: the answer, then the close.
    // Its descriptor is given back as soon as the answer is written, or
    // after a second: a flood of callers turned away must not use up the
    // descriptors the journal and the printers need.
    void turnAway(HttpAnswer answer)
    {
        turnedAway_ = true;
        phase_ = Phase::Owed;
        answer.close = true;
        this->answer(std::move(answer));
        arm(std::chrono::seconds(1));
    }

    void answer(HttpAnswer answer)
    {
        if (phase_ != Phase::Owed || closed_)
            return;
        const std::shared_ptr<Connection> self = std::move(owed_);
        phase_ = Phase::Writing;
        closeAfter_ = answer.close || !reader_.keepAlive();
        outgoing_ = wireBytes(answer, !closeAfter_);
        arm(limits_.writeLimit);
        withStream([this](auto& stream) {
            asio::async_write(stream, asio::buffer(outgoing_),
                              [self = shared_from_this()](const error_code& error, std::size_t) {
                                  self->outgoing_.clear();
                                  if (error || self->turnedAway_)
                                      return self->close();
                                  if (self->closeAfter_)
                                      return self->closeGracefully();
                                  self->waitForRequest();
                              });
        });
    }

    bool connected() const { return !closed_ && !hungUp_; }
    bool doorClosing() const { return counts_->closing; }

    void close()
    {
        if (closed_)
            return;
        closed_ = true;
        owed_.reset();
        deadline_.cancel();
        error_code ignored;
        lowest().shutdown(tcp::socket::shutdown_both, ignored);
        lowest().close(ignored);
    }

private:
    using Secure = asio::ssl::stream<tcp::socket>;
    enum class Phase { Handshake, Idle, Headers, Body, Owed, Writing, Closing };
    static constexpr std::size_t readChunk = 16 * 1024;

    tcp::socket& lowest()
    {
        if (Secure* secure = std::get_if<Secure>(&stream_))
            return secure->next_layer();
        return std::get<tcp::socket>(stream_);
    }

    template <class Operation>
    void withStream(Operation operation)
    {
        if (Secure* secure = std::get_if<Secure>(&stream_))
            operation(*secure);
        else
            operation(std::get<tcp::socket>(stream_));
    }

    void arm(std::chrono::milliseconds limit)
    {
        deadline_.expires_after(limit);
        deadline_.async_wait([weak = weak_from_this(), phase = phase_](const error_code& error) {
            const std::shared_ptr<Connection> self = weak.lock();
            if (!error && self && self->phase_ == phase)
                self->deadlinePassed();
        });
    }

    void deadlinePassed()
    {
        if (phase_ == Phase::Headers || phase_ == Phase::Body) {
            const bool headers = phase_ == Phase::Headers;
            phase_ = Phase::Owed;
            HttpAnswer late = errorAnswer(408, "request_timeout",
                                          headers ? "The request's headers did not all come within 10 seconds."
                                                  : "The request's body did not all come within 30 seconds.");
            late.close = true;
            return answer(std::move(late));
        }
        close();
    }

    void waitForRequest()
    {
        if (closed_)
            return;
        if (buffer_.size() > 0) {
            phase_ = Phase::Headers;
            arm(limits_.headerDeadline);
            return process();
        }
        phase_ = Phase::Idle;
        arm(limits_.idleLimit);
        // An idle connection holds no buffer.
        buffer_.shrink_to_fit();
        if (!reading_)
            std::string().swap(incoming_);
        read();
    }

    // Reads once the caller has sent something (a plain socket waits for
    // that without a buffer; TLS may hold what it read already, so it reads).
    void read()
    {
        if (reading_ || waiting_ || closed_ || buffer_.size() >= buffer_.max_size())
            return;
        if (std::holds_alternative<Secure>(stream_))
            return readNow();
        waiting_ = true;
        lowest().async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& error) {
            self->waiting_ = false;
            if (error)
                return self->received(error);
            self->readNow();
        });
    }

    // The bytes are read into a buffer of their own and added to buffer_
    // once they have come: buffer_ is consumed while a read is under way.
    void readNow()
    {
        if (reading_ || closed_ || buffer_.size() >= buffer_.max_size())
            return;
        reading_ = true;
        incoming_.resize(std::min(readChunk, buffer_.max_size() - buffer_.size()));
        withStream([this](auto& stream) {
            stream.async_read_some(asio::buffer(incoming_),
                                   [self = shared_from_this()](const error_code& error, std::size_t count) {
                                       self->reading_ = false;
                                       if (count > 0) {
                                           const auto room = self->buffer_.prepare(count);
                                           std::memcpy(room.data(), self->incoming_.data(), count);
                                           self->buffer_.commit(count);
                                       }
                                       self->received(error);
                                   });
        });
    }

    void received(const error_code& error)
    {
        if (closed_)
            return;
        if (error == asio::error::operation_aborted && phase_ == Phase::Closing)
            return;  // cancelled for the TLS shutdown
        if (error) {
            // The caller has closed its side or gone: an answer still owed
            // is written if it can be, and dropped if not.
            hungUp_ = true;
            if (phase_ == Phase::Owed || phase_ == Phase::Writing)
                return;
            if (phase_ == Phase::Closing)
                return close();
            reader_.endOfInput();
            return close();
        }
        if (phase_ == Phase::Closing) {
            buffer_.consume(buffer_.size());
            return read();
        }
        if (phase_ == Phase::Owed || phase_ == Phase::Writing)
            return read();  // the next request waits in the buffer; a hang-up is seen
        if (phase_ == Phase::Idle) {
            phase_ = Phase::Headers;
            arm(limits_.headerDeadline);
        }
        process();
    }

    void process()
    {
        const auto data = buffer_.data();
        buffer_.consume(reader_.feed({static_cast<const char*>(data.data()), data.size()}));
        switch (reader_.state()) {
        case RequestReader::State::Waiting:
        case RequestReader::State::Headers:
            return read();
        case RequestReader::State::Body:
            if (phase_ == Phase::Headers) {
                phase_ = Phase::Body;
                arm(limits_.bodyDeadline);
            }
            return read();
        case RequestReader::State::Refused:
            phase_ = Phase::Owed;
            return answer(reader_.refusal());
        case RequestReader::State::Complete:
            break;
        }
        phase_ = Phase::Owed;
        owed_ = shared_from_this();
        deadline_.cancel();
        HttpCall call = reader_.take();
        call.peer = peer_;
        auto reply = std::make_shared<HttpReply>(weak_from_this(), deadline_.get_executor());
        read();
        handler_(std::move(call), std::move(reply));
    }

    // A caller still sending would get a reset, and could lose the answer,
    // if the connection closed with its bytes unread: this side is shut,
    // and what still comes is dropped until the caller closes, for a few
    // seconds at most.
    void closeGracefully()
    {
        phase_ = Phase::Closing;
        arm(std::chrono::seconds(5));
        if (Secure* secure = std::get_if<Secure>(&stream_)) {
            // One read at a time on a TLS stream: the shutdown reads too.
            error_code ignored;
            if (reading_)
                lowest().cancel(ignored);
            secure->async_shutdown([self = shared_from_this()](const error_code&) { self->close(); });
            return;
        }
        error_code ignored;
        lowest().shutdown(tcp::socket::shutdown_send, ignored);
        read();
    }

    const HttpLimits& limits_;
    const HttpDoor::Handler& handler_;
    std::shared_ptr<DoorCounts> counts_;
    std::string peer_;
    asio::steady_timer deadline_;
    RequestReader reader_;
    std::shared_ptr<asio::ssl::context> tls_;  // kept while the stream uses it
    std::variant<std::monostate, tcp::socket, Secure> stream_;
    boost::beast::flat_buffer buffer_;  // read, not yet taken by the reader
    std::string incoming_;              // being read
    std::string outgoing_;
    // The connection itself while an answer is owed: neither a read nor a
    // write may be under way then.
    std::shared_ptr<Connection> owed_;
    Phase phase_ = Phase::Idle;
    bool waiting_ = false;  // for the caller to send
    bool reading_ = false;  // into the buffer
    bool closeAfter_ = false;
    bool turnedAway_ = false;
    bool hungUp_ = false;
    bool closed_ = false;

    friend class HttpDoor;
};

HttpReply::HttpReply(std::weak_ptr<Connection> connection, asio::any_io_executor door)
    : connection_(std::move(connection)), door_(std::move(door))
{
}

HttpReply::~HttpReply()
{
    if (sent_)
        return;
    const std::shared_ptr<Connection> connection = connection_.lock();
    if (!connection || connection->doorClosing())
        return;
    asio::post(door_, [connection] {
        connection->answer(errorAnswer(500, "internal", "The service ended this request without an answer."));
    });
}

void HttpReply::send(HttpAnswer answer)
{
    if (sent_)
        return;
    sent_ = true;
    asio::dispatch(door_, [weak = connection_, answer = std::move(answer)]() mutable {
        if (const std::shared_ptr<Connection> connection = weak.lock())
            connection->answer(std::move(answer));
    });
}

bool HttpReply::connected() const
{
    const std::shared_ptr<Connection> connection = connection_.lock();
    return connection && connection->connected();
}

HttpDoor::HttpDoor(asio::io_context& io, HttpLimits limits, Handler handler)
    : limits_(limits), handler_(std::move(handler)), acceptor_(io), pause_(io)
{
}

HttpDoor::~HttpDoor() { closeAll(); }

std::optional<std::string> HttpDoor::listen(const tcp::endpoint& endpoint, std::shared_ptr<asio::ssl::context> tls)
{
    tls_ = std::move(tls);
    error_code error;
    acceptor_.open(endpoint.protocol(), error);
    if (!error)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor_.bind(endpoint, error);
    if (!error)
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        error_code ignored;
        acceptor_.close(ignored);
        return error.message();
    }
    port_ = acceptor_.local_endpoint().port();
    accept();
    return std::nullopt;
}

void HttpDoor::accept()
{
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
        if (!acceptor_.is_open())
            return;
        if (error)
            return acceptFailed(error);
        backoff_ = std::chrono::milliseconds(0);
        admit(std::move(socket));
        accept();
    });
}

// Out of descriptors or memory: accepting again at once would spin. The
// door waits, longer each time up to half a second, and never stops.
void HttpDoor::acceptFailed(const error_code& error)
{
    const int code = error.value();
    if (error.category() != boost::system::system_category() ||
        (code != EMFILE && code != ENFILE && code != ENOBUFS && code != ENOMEM))
        return accept();
    backoff_ = std::clamp(backoff_ * 2, std::chrono::milliseconds(50), std::chrono::milliseconds(500));
    pause_.expires_after(backoff_);
    pause_.async_wait([this](const error_code& cancelled) {
        if (!cancelled && acceptor_.is_open())
            accept();
    });
}

void HttpDoor::admit(tcp::socket socket)
{
    error_code error;
    const tcp::endpoint remote = socket.remote_endpoint(error);
    if (error)
        return;
    socket.set_option(tcp::no_delay(true), error);
    const std::string peer = callerAddress(remote.address());
    int& fromPeer = counts_->byAddress[peer];
    ++fromPeer;
    ++counts_->open;
    const bool tooMany = counts_->open > limits_.maxConnections || fromPeer > limits_.perAddress;
    // A caller turned away is answered in the clear: it never gets as far as TLS.
    auto connection = std::make_shared<Connection>(std::move(socket), tooMany ? nullptr : tls_, limits_, handler_,
                                                   counts_, peer);
    counts_->live[connection.get()] = connection;
    if (tooMany)
        return connection->turnAway(errorAnswer(503, "busy",
                                                fromPeer > limits_.perAddress
                                                    ? "This address has too many connections open to the service."
                                                    : "The service has too many connections open.",
                                                {{"Retry-After", "1"}}));
    connection->start();
}

void HttpDoor::stopListening()
{
    error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
}

void HttpDoor::closeAll()
{
    stopListening();
    counts_->closing = true;
    const auto live = counts_->live;
    for (const auto& [address, weak] : live)
        if (const std::shared_ptr<Connection> connection = weak.lock())
            connection->close();
}

int connectionsTheDescriptorsAllow(int cap)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::min(cap, 512);
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const auto descriptors = static_cast<long long>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
    const long long reserve = std::min<long long>(256, descriptors / 2);
    return static_cast<int>(std::clamp<long long>(descriptors - reserve, 1, cap));
}

}  // namespace service
