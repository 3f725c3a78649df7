#pragma once
// The service's door: HTTP/1.1 on Boost.Asio, one thread, every connection
// driven by its events. Requests are read by Boost.Beast's parser within the
// limits (RequestReader), against deadlines rather than idle timers: the
// header block within 10 s of its first byte, the body within 30 s, an
// answer read within 30 s, a kept-alive connection closed after 30 s idle.
// A connection reads its next request only once it has answered the last,
// so pipelined requests are answered in order. At most perAddress
// connections from one address and maxConnections in all; an accept that
// fails for want of descriptors or memory is tried again after a pause.

#include "service/http_request.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace service {

class Connection;

// The answer owed to one request. Sent once, on the door's thread; dropped
// when its connection has gone. One released unsent answers 500.
class HttpReply {
public:
    HttpReply(std::weak_ptr<Connection> connection, boost::asio::any_io_executor door);
    ~HttpReply();
    HttpReply(const HttpReply&) = delete;
    HttpReply& operator=(const HttpReply&) = delete;

    void send(HttpAnswer answer);
    bool sent() const { return sent_; }
    // False once the caller has hung up.
    bool connected() const;

private:
    std::weak_ptr<Connection> connection_;
    boost::asio::any_io_executor door_;
    bool sent_ = false;
};

// Counts shared by the door and its connections, which may outlive it.
struct DoorCounts {
    int open = 0;
    std::map<std::string, int> byAddress;
    bool closing = false;
    std::map<Connection*, std::weak_ptr<Connection>> live;
};

class HttpDoor {
public:
    using Handler = std::function<void(HttpCall, std::shared_ptr<HttpReply>)>;

    HttpDoor(boost::asio::io_context& io, HttpLimits limits, Handler handler);
    ~HttpDoor();

    // Listens at endpoint, with TLS when tls is set: an error's text, or nothing.
    std::optional<std::string> listen(const boost::asio::ip::tcp::endpoint& endpoint,
                                      std::shared_ptr<boost::asio::ssl::context> tls);
    // Connections accepted from now on use this TLS context.
    void setTls(std::shared_ptr<boost::asio::ssl::context> tls) { tls_ = std::move(tls); }
    unsigned short port() const { return port_; }
    int connections() const { return counts_->open; }
    const HttpLimits& limits() const { return limits_; }

    void stopListening();
    // Closes every connection at once.
    void closeAll();

private:
    void accept();
    void acceptFailed(const boost::system::error_code& error);
    void admit(boost::asio::ip::tcp::socket socket);

    HttpLimits limits_;
    Handler handler_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pause_;
    std::chrono::milliseconds backoff_{0};
    std::shared_ptr<boost::asio::ssl::context> tls_;
    std::shared_ptr<DoorCounts> counts_ = std::make_shared<DoorCounts>();
    unsigned short port_ = 0;
};

// Raises the soft limit of open descriptors to the hard one: the number of
// connections the door may hold in all, less a reserve for the journal,
// the database and the printers, and never above cap.
int connectionsTheDescriptorsAllow(int cap);

}  // namespace service
