#include "lookdev/http_state.h"

#include "error.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace oska::render::lookdev {

std::optional<uint64_t> plain_whole_number(const std::string &text, uint64_t largest) {
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (digit > largest || number > (largest - digit) / 10) {
            return std::nullopt; // past `largest`, and so never wraps
        }
        number = number * 10 + digit;
    }
    return number;
}

uint64_t HttpRequest::whole(const std::string &name, uint64_t largest) const {
    if (!has(name)) {
        throw Error("no " + name + " in the request");
    }
    if (std::optional<uint64_t> number = plain_whole_number(arg(name), largest)) {
        return *number;
    }
    // What was sent is quoted, at most a line's worth of it, in ASCII: a
    // query may hold any byte, and the answer must stay valid UTF-8.
    static const char kHex[] = "0123456789abcdef";
    const std::string sent = arg(name);
    std::string given;
    for (std::size_t i = 0; i < std::min<std::size_t>(sent.size(), 32); ++i) {
        const auto byte = static_cast<unsigned char>(sent[i]);
        if (byte >= 0x20 && byte < 0x7f) {
            given += sent[i];
        } else {
            given += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        }
    }
    if (sent.size() > 32) {
        given += "...";
    }
    throw Error(name + " \"" + given + "\" is not a whole number" +
                (largest == UINT64_MAX ? std::string() : " from 0 to " + std::to_string(largest)));
}

HttpResponse error_response(int status, const std::string &why) {
    HttpResponse r;
    r.status = status;
    r.body = nlohmann::json{{"error", why}}.dump();
    return r;
}

MHD_Result note_arg(void *cls, MHD_ValueKind, const char *key, const char *value) {
    (*static_cast<std::map<std::string, std::string> *>(cls))[key] = value == nullptr ? "" : value;
    return MHD_YES;
}

MHD_Result HttpServer::State::send(MHD_Connection *c, const HttpResponse &r) const {
    MHD_Response *response = MHD_create_response_from_buffer(
        r.body.size(), const_cast<char *>(r.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", r.type.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    for (const auto &[name, value] : r.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return queued;
}

bool HttpServer::State::suspend_unless_woken(MHD_Connection *c, uint64_t seen,
                                             Clock::time_point until) {
    std::lock_guard<std::mutex> lock(waiters_mutex);
    if (stopping || wakes.load() != seen) {
        return false;
    }
    MHD_suspend_connection(c);
    waiters.emplace_back(c, until);
    return true;
}

MHD_Result HttpServer::State::answer(MHD_Connection *c, const std::string &method,
                                     const std::string &path, Pending &p) {
    auto route = routes.find({method, path});
    if (route == routes.end()) {
        return send(c, error_response(404, "no " + method + " " + path));
    }
    HttpRequest request{method, path, std::move(p.body), {}, true};
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, note_arg, &request.query);
    for (;;) {
        const auto now = Clock::now();
        request.patient = !stopping && !(p.waiting && now - p.since >= limits.longest_wait);
        const uint64_t seen = wakes.load();
        std::optional<HttpResponse> response;
        try {
            response = route->second(request);
        } catch (const std::exception &e) {
            response = error_response(500, e.what());
        }
        if (response) {
            if (method == "GET" && pages.count(path) != 0) {
                // The page's modules and styles are then fetched by plain
                // addresses, this cookie in place of the token; Strict keeps
                // it out of requests that another site starts.
                response->headers.emplace_back(
                    "Set-Cookie", cookie + "=" + files_key + "; Path=/; HttpOnly; SameSite=Strict");
            }
            return send(c, *response);
        }
        if (!p.waiting) {
            p.waiting = true;
            p.since = now;
        }
        p.body = request.body; // for the next look
        if (suspend_unless_woken(c, seen, p.since + limits.longest_wait)) {
            return MHD_YES;
        }
    }
}

void HttpServer::State::arm(MHD_Connection *c, bool armed) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    if (auto it = connections.find(c); it != connections.end()) {
        it->second.armed = armed;
        it->second.deadline = Clock::now() + limits.whole_request;
    }
}

// Closes the connections whose request is late and lets go of the requests
// that waited their longest, until stop().
void HttpServer::State::reap() {
    std::unique_lock<std::mutex> lock(reaper_mutex);
    while (
        !reaper_wake.wait_for(lock, std::chrono::milliseconds(50), [&] { return reaper_done; })) {
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> guard(connections_mutex);
            for (auto &[c, connection] : connections) {
                if (connection.armed && connection.deadline <= now) {
                    connection.armed = false;
                    shutdown(connection.fd, SHUT_RDWR); // the event loop then closes it
                }
            }
        }
        std::lock_guard<std::mutex> guard(waiters_mutex);
        auto late = std::stable_partition(waiters.begin(), waiters.end(),
                                          [&](const auto &w) { return w.second > now; });
        for (auto it = late; it != waiters.end(); ++it) {
            MHD_resume_connection(it->first);
        }
        waiters.erase(late, waiters.end());
    }
}

namespace {

MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                      const char *, const char *data, std::size_t *size, void **request) {
    auto &s = *static_cast<HttpServer::State *>(cls);
    if (*request == nullptr) {
        // The headers are in: whoever is not for this server goes now,
        // before any of its body is read.
        if (std::string why = s.refusal(c, method, url); !why.empty()) {
            return s.send(c, error_response(403, why));
        }
        *request = new Pending;
        return MHD_YES;
    }
    auto &p = *static_cast<Pending *>(*request);
    if (*size != 0) {
        if (p.body.size() + *size > s.limits.largest_body) {
            p.too_large = true;
        } else {
            p.body.append(data, *size);
        }
        *size = 0;
        return MHD_YES;
    }
    s.arm(c, false);
    if (p.too_large) {
        return s.send(c, error_response(413, "the request is larger than " +
                                                 std::to_string(s.limits.largest_body / 1024) +
                                                 " KiB"));
    }
    if (MHD_Result queued = MHD_NO;
        std::strcmp(method, "GET") == 0 && s.open_stream(c, url, queued)) {
        return queued;
    }
    return s.answer(c, method, url, p);
}

void on_completed(void *cls, MHD_Connection *c, void **request, MHD_RequestTerminationCode) {
    delete static_cast<Pending *>(*request);
    *request = nullptr;
    // The next request on this connection has as long as the first.
    static_cast<HttpServer::State *>(cls)->arm(c, true);
}

void on_connection(void *cls, MHD_Connection *c, void **, MHD_ConnectionNotificationCode code) {
    auto &s = *static_cast<HttpServer::State *>(cls);
    std::lock_guard<std::mutex> lock(s.connections_mutex);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        s.connections.erase(c);
        return;
    }
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) {
        return;
    }
    // Small answers go out at once, not after the client's delayed ack.
    int on = 1;
    setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    s.connections[c] = {info->connect_fd, Clock::now() + s.limits.whole_request, true};
}

} // namespace

HttpServer::HttpServer(std::string token, const HttpLimits &limits)
    : state_(std::make_unique<State>()) {
    state_->token = std::move(token);
    state_->files_key = random_secret();
    state_->limits = limits;
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::get(const std::string &path, HttpHandler handler) {
    state_->routes[{"GET", path}] = std::move(handler);
}

void HttpServer::page(const std::string &path, HttpHandler handler) {
    state_->pages.insert(path);
    get(path, std::move(handler));
}

void HttpServer::file(const std::string &path, HttpHandler handler) {
    state_->files.insert(path);
    get(path, std::move(handler));
}

void HttpServer::post(const std::string &path, HttpHandler handler) {
    state_->routes[{"POST", path}] = std::move(handler);
}

namespace {

// A socket listening on 127.0.0.1:`port` (0: a free one) with room for
// `backlog` waiting clients, and its port; throws Error when it cannot.
std::pair<int, int> listen_on_loopback(int port, unsigned backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, static_cast<int>(backlog)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw Error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    return {fd, ntohs(address.sin_port)};
}

} // namespace

int HttpServer::start(int port) {
    State &s = *state_;
    // The names this server answers to are known before any request comes.
    const auto [fd, bound] = listen_on_loopback(port, s.limits.backlog);
    s.here = "127.0.0.1:" + std::to_string(bound);
    s.named = "localhost:" + std::to_string(bound);
    // A browser sends a host's cookies to each of its ports: one name per server.
    s.cookie = "oska-files-" + std::to_string(bound);
    const auto seconds = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::seconds>(s.limits.whole_request).count() + 1);
    s.daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
        nullptr, on_request, &s, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE, 2u,
        MHD_OPTION_CONNECTION_LIMIT, s.limits.connections, MHD_OPTION_CONNECTION_TIMEOUT, seconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, s.limits.header_memory, MHD_OPTION_NOTIFY_COMPLETED,
        on_completed, &s, MHD_OPTION_NOTIFY_CONNECTION, on_connection, &s, MHD_OPTION_END);
    if (s.daemon == nullptr) {
        close(fd);
        throw Error("cannot serve on 127.0.0.1:" + std::to_string(bound));
    }
    s.reaper = std::thread([&s] { s.reap(); });
    return bound;
}

void HttpServer::wake() {
    State &s = *state_;
    ++s.wakes;
    std::lock_guard<std::mutex> lock(s.waiters_mutex);
    for (const auto &waiter : s.waiters) {
        MHD_resume_connection(waiter.first);
    }
    s.waiters.clear();
}

void HttpServer::stop() {
    State &s = *state_;
    if (s.daemon == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s.waiters_mutex);
        s.stopping = true;
    }
    wake(); // waiting requests answer now, streams end
    {
        std::lock_guard<std::mutex> lock(s.reaper_mutex);
        s.reaper_done = true;
    }
    s.reaper_wake.notify_all();
    s.reaper.join();
    MHD_stop_daemon(s.daemon);
    s.daemon = nullptr;
}

} // namespace oska::render::lookdev
