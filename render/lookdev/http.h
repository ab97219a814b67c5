// The lookdev page's HTTP server and its guard, apart from what it serves.
//
// Every connection is handled by a small pool of event loops, never a thread
// of its own, so a client that sends slowly or not at all holds no worker.
// A request is refused before its handler runs when it is not for this
// server: a missing or wrong token, a `Host` other than this address, an
// `Origin` of another site, or either of those headers given twice. The
// page's own files (its modules and styles) may instead carry the files'
// cookie, which the page's answer sets: it opens those files only, so the
// modules import each other by plain addresses. Its
// headers must fit in a small buffer, and the whole request, headers and
// body, must arrive within a few seconds of its first byte, or the
// connection is closed.
#ifndef OSKA_RENDER_LOOKDEV_HTTP_H
#define OSKA_RENDER_LOOKDEV_HTTP_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oska::render::lookdev {

struct HttpRequest {
    std::string method, path, body;
    std::map<std::string, std::string> query;
    // False once the request has waited its longest: it must be answered now.
    bool patient = true;

    std::string arg(const std::string &name) const {
        auto it = query.find(name);
        return it == query.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return query.count(name) != 0; }
    // The argument `name` as a whole number from 0 to `largest`; throws Error
    // naming it when it is missing or anything else.
    uint64_t whole(const std::string &name, uint64_t largest = UINT64_MAX) const;
};

// `text` as a whole number written plainly: decimal digits only (no sign,
// space, base prefix, fraction or exponent), at most `largest`; nullopt for
// anything else. Every numeric argument of a request is read by it.
std::optional<uint64_t> plain_whole_number(const std::string &text, uint64_t largest = UINT64_MAX);

struct HttpResponse {
    int status = 200;
    std::string type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// Answers a request; nullopt when there is nothing to say yet: the request
// then waits, holding no thread, until wake() or its longest wait.
using HttpHandler = std::function<std::optional<HttpResponse>(const HttpRequest &)>;

// One open event stream's source: gives the next event's data (one line), or
// nullopt when nothing is new since the last; asked again after each wake().
using EventSource = std::function<std::optional<std::string>()>;
// Makes the source of a stream opened by a request.
using EventStreams = std::function<EventSource(const HttpRequest &)>;

// 256 bits from the kernel's random source, in hex: the page's token.
std::string random_secret();

struct HttpLimits {
    std::chrono::milliseconds whole_request{5000}; // headers and body
    std::chrono::milliseconds longest_wait{1000};  // of a handler with nothing to say
    std::size_t header_memory = 32 * 1024UL;       // a request's line and headers
    std::size_t largest_body = 64 * 1024UL;
    unsigned connections = 256;
    unsigned backlog = 128;
    unsigned streams = 16;                     // event streams open at once
    std::chrono::milliseconds heartbeat{2000}; // an idle stream's sign of life
};

class HttpServer {
  public:
    HttpServer(std::string token, const HttpLimits &limits = {});
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    void get(const std::string &path, HttpHandler handler);
    // The page itself: a GET route whose answer also sets the files' cookie.
    void page(const std::string &path, HttpHandler handler);
    // A file of the page: a GET route open to the token or the files' cookie.
    void file(const std::string &path, HttpHandler handler);
    void post(const std::string &path, HttpHandler handler);
    // Serves `path` as a stream of server-sent events, each sent as soon as
    // its source has it; streams end when the server stops.
    void events(const std::string &path, EventStreams streams);

    // Listens on 127.0.0.1:`port` (0: a free one) and gives the port; throws
    // Error when it cannot.
    int start(int port);
    // Something changed: waiting requests look again.
    void wake();
    // Closes every connection and returns when no handler runs any more.
    void stop();

    struct State; // what the event loops share

  private:
    std::unique_ptr<State> state_;
};

} // namespace oska::render::lookdev

#endif
