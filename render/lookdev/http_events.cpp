// Server-sent events: a response that never ends, fed by its source each
// time the server is woken, and suspended (holding no thread) in between.
#include "lookdev/http_state.h"

#include <algorithm>
#include <cstring>

namespace oska::render::lookdev {

namespace {

struct Stream {
    HttpServer::State *server;
    MHD_Connection *connection;
    EventSource source;
    std::string out; // what is still to be sent
    std::size_t sent = 0;
    Clock::time_point quiet_until;
};

// Gives the stream's next bytes; 0 after suspending it until there may be
// more; the end once the server stops.
ssize_t read_stream(void *cls, uint64_t, char *buffer, std::size_t room) {
    auto &st = *static_cast<Stream *>(cls);
    HttpServer::State &s = *st.server;
    for (;;) {
        if (s.stopping) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
        if (st.sent < st.out.size()) {
            const std::size_t n = std::min(room, st.out.size() - st.sent);
            // Bytes of a stream, not a string: nothing to terminate.
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
            std::memcpy(buffer, st.out.data() + st.sent, n);
            st.sent += n;
            return static_cast<ssize_t>(n);
        }
        st.out.clear();
        st.sent = 0;
        const uint64_t seen = s.wakes.load();
        std::optional<std::string> event;
        try {
            event = st.source();
        } catch (const std::exception &) {
            return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        const auto now = Clock::now();
        if (event) {
            st.out = "data: " + *event + "\n\n";
        } else if (now >= st.quiet_until) {
            st.out = ":\n\n"; // a comment: the page knows the server is there
        } else if (s.suspend_unless_woken(st.connection, seen, st.quiet_until)) {
            return 0;
        }
        if (!st.out.empty()) {
            st.quiet_until = now + s.limits.heartbeat;
        }
    }
}

void free_stream(void *cls) {
    auto *st = static_cast<Stream *>(cls);
    --st->server->streams_open;
    delete st;
}

} // namespace

bool HttpServer::State::open_stream(MHD_Connection *c, const std::string &path,
                                    MHD_Result &queued) {
    auto route = event_routes.find(path);
    if (route == event_routes.end()) {
        return false;
    }
    if (++streams_open > limits.streams) {
        --streams_open;
        queued = send(c, error_response(503, "too many pages are open on this server"));
        return true;
    }
    HttpRequest request{"GET", path, "", {}, true};
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, note_arg, &request.query);
    auto *st = new Stream{this, c, nullptr, "", 0, Clock::now()};
    try {
        st->source = route->second(request);
    } catch (const std::exception &e) {
        free_stream(st);
        queued = send(c, error_response(400, e.what()));
        return true;
    }
    MHD_Response *response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, read_stream, st, free_stream);
    if (response == nullptr) {
        free_stream(st);
        queued = MHD_NO;
        return true;
    }
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    queued = MHD_queue_response(c, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return true;
}

void HttpServer::events(const std::string &path, EventStreams streams) {
    state_->event_routes[path] = std::move(streams);
}

} // namespace oska::render::lookdev
