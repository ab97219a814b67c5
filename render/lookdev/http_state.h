// What the lookdev HTTP server's event loops share, for its own files.
#ifndef OSKA_RENDER_LOOKDEV_HTTP_STATE_H
#define OSKA_RENDER_LOOKDEV_HTTP_STATE_H

#include "lookdev/http.h"

#include <microhttpd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace oska::render::lookdev {

using Clock = std::chrono::steady_clock;

HttpResponse error_response(int status, const std::string &why);
// Adds a request's argument to the map at `cls`.
MHD_Result note_arg(void *cls, MHD_ValueKind, const char *key, const char *value);

// What a request is while its body arrives and while it waits.
struct Pending {
    std::string body;
    bool too_large = false;
    bool waiting = false;
    Clock::time_point since;
};

struct HttpServer::State {
    std::string token;
    // The files' cookie: its own secret, so that the cookie, which the
    // browser also sends to other servers on this host, opens nothing but
    // the page's files (which hold no secret).
    std::string files_key;
    std::string cookie; // its name, one per port
    HttpLimits limits;
    std::string here, named; // this server's address by number and by name
    std::map<std::pair<std::string, std::string>, HttpHandler> routes;
    std::map<std::string, EventStreams> event_routes;
    std::set<std::string> pages, files; // GET paths
    std::atomic<unsigned> streams_open{0};
    MHD_Daemon *daemon = nullptr;

    // Each connection's socket and the time by which its request must be in.
    struct Connection {
        int fd;
        Clock::time_point deadline;
        bool armed;
    };
    std::mutex connections_mutex;
    std::map<MHD_Connection *, Connection> connections;

    // Requests and streams waiting for wake(), and until when.
    std::mutex waiters_mutex;
    std::vector<std::pair<MHD_Connection *, Clock::time_point>> waiters;
    std::atomic<uint64_t> wakes{0};
    std::atomic<bool> stopping{false};

    std::thread reaper;
    std::mutex reaper_mutex;
    std::condition_variable reaper_wake;
    bool reaper_done = false;

    // Why a request for `path` is refused, or "" when it is not.
    std::string refusal(MHD_Connection *c, const std::string &method,
                        const std::string &path) const;
    MHD_Result send(MHD_Connection *c, const HttpResponse &r) const;
    MHD_Result answer(MHD_Connection *c, const std::string &method, const std::string &path,
                      Pending &p);
    // Suspends `c` until wake() unless one came since `seen`: false then.
    bool suspend_unless_woken(MHD_Connection *c, uint64_t seen, Clock::time_point until);
    // Starts the event stream at `path` on `c`, if there is one: whether there is.
    bool open_stream(MHD_Connection *c, const std::string &path, MHD_Result &queued);
    void arm(MHD_Connection *c, bool armed);
    void reap();
};

} // namespace oska::render::lookdev

#endif
