#include "lookdev/server.h"

#include "cli.h"
#include "error.h"
#include "files.h"
#include "json_reader.h"
#include "lookdev/assets.h"
#include "lookdev/http.h"
#include "lookdev/lookdev.h"
#include "lookdev/values.h"
#include "render_scene.h"
#include "scene.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>
#include <tuple>

namespace oska::render {

namespace {

using lookdev::json;

struct ServeArguments : SceneArguments {
    int port = 0; // 0: a free one
};

ServeArguments parse_serve(int argc, const char *const *argv) {
    ServeArguments args;
    for_each_word(argc, argv, [&](const std::string &arg, const Value &value) {
        if (arg == "--port") {
            args.port = parse_whole_number(arg, value(), 0, 65535);
        } else if (arg == "--help" || arg == "-h") {
            throw Usage{};
        } else {
            args.take(arg, value);
        }
    });
    if (args.scene.empty()) {
        throw Usage{"serve needs a scene file (it saves the lights back into it)"};
    }
    return args;
}

// The page's files, with the token written into the page itself (for its
// requests to the API); the rest it fetches with the cookie its answer sets.
void serve_assets(lookdev::HttpServer &server, const std::string &token) {
    for (const lookdev::Asset &asset : lookdev::assets()) {
        std::string path = std::string("/") + asset.name;
        bool page = path == "/index.html";
        auto handler = [asset, page, token](const lookdev::HttpRequest &) {
            lookdev::HttpResponse res;
            res.body.assign(reinterpret_cast<const char *>(asset.data), asset.size);
            if (page) {
                for (std::size_t at; (at = res.body.find("{{TOKEN}}")) != std::string::npos;) {
                    res.body.replace(at, 9, token);
                }
                res.headers.emplace_back("Content-Security-Policy",
                                         "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                                         "img-src 'self' data:; frame-ancestors 'none'");
            }
            res.type = std::string(asset.type) + "; charset=utf-8";
            return std::optional<lookdev::HttpResponse>(res);
        };
        if (page) {
            server.page(path, handler);
            server.page("/", handler);
        } else {
            server.file(path, handler);
        }
    }
}

json request_json(const std::string &body) {
    try {
        return parse_json(body);
    } catch (const Error &e) {
        throw Error(std::string("the request: ") + e.what());
    }
}

// An answer of `make()`, or its error: 400 for a refused request.
std::optional<lookdev::HttpResponse> reply(const std::function<std::optional<json>()> &make) {
    lookdev::HttpResponse res;
    try {
        std::optional<json> made = make();
        if (!made) {
            return std::nullopt;
        }
        res.body = made->dump();
    } catch (const Error &e) {
        res.status = 400;
        res.body = json{{"error", e.what()}}.dump();
    }
    return res;
}

} // namespace

lookdev::Lookdev::Seen lookdev::Lookdev::seen_by(const lookdev::HttpRequest &request) const {
    Seen seen;
    seen.frame = lookdev::plain_whole_number(request.arg("frame"));
    seen.messages = lookdev::plain_whole_number(request.arg("messages"));
    seen.curves = lookdev::plain_whole_number(request.arg("curves"));
    seen.values = lookdev::plain_whole_number(request.arg("values"));
    if (request.has("light")) {
        seen.light = request.whole("light", lights_.size() - 1);
    }
    return seen;
}

lookdev::EventSource lookdev::Lookdev::news_for(const lookdev::HttpRequest &request) {
    auto seen = std::make_shared<Seen>(seen_by(request));
    return [this, seen]() -> std::optional<std::string> {
        std::optional<json> news = status(*seen, false);
        if (!news) {
            return std::nullopt;
        }
        // What this page has now, so that the next event brings only what is newer.
        if (news->contains("frame")) {
            seen->frame = (*news)["frame"]["serial"].get<uint64_t>();
        }
        seen->messages = (*news)["message_count"].get<uint64_t>();
        seen->curves = (*news)["curves_serial"].get<uint64_t>();
        seen->values = (*news)["values_serial"].get<uint64_t>();
        return news->dump();
    };
}

void lookdev::Lookdev::serve(lookdev::HttpServer &server, const std::string &token) {
    changed_ = [&server] { server.wake(); };
    serve_assets(server, token);
    using Request = lookdev::HttpRequest;
    server.get("/api/scene",
               [this](const Request &) { return reply([&] { return scene_json(); }); });
    server.get("/api/status", [this](const Request &req) {
        return reply([&] { return status(seen_by(req), !req.patient); });
    });
    server.events("/api/events", [this](const Request &req) { return news_for(req); });
    server.get("/api/curves", [this](const Request &req) {
        return reply([&] { return curves_of(req.whole("light")); });
    });
    server.get("/api/probe", [this](const Request &req) {
        return reply([&] { return probe(req.whole("x"), req.whole("y")); });
    });
    server.get("/api/image", [this](const Request &) {
        std::shared_ptr<const Frame> shown = frame();
        lookdev::HttpResponse res;
        if (!shown) {
            res.status = 404;
            res.body = json{{"error", "no image yet"}}.dump();
            return std::optional(res);
        }
        res.headers = {{"X-Frame-Serial", std::to_string(shown->serial)},
                       {"X-Frame-Width", std::to_string(shown->width)},
                       {"X-Frame-Height", std::to_string(shown->height)},
                       {"X-Frame-Pass", shown->pass},
                       {"X-Frame-Generation", std::to_string(shown->generation)},
                       {"X-Frame-Final", shown->final ? "1" : "0"}};
        res.type = "application/octet-stream";
        res.body = shown->rgba;
        return std::optional(res);
    });
    server.post("/api/param", [this](const Request &req) {
        return reply([&] { return change(request_json(req.body)); });
    });
    server.post("/api/change", [this](const Request &req) {
        return reply([&] { return change(request_json(req.body)); });
    });
    server.post("/api/mute", [this](const Request &req) {
        return reply([&] { return mute(request_json(req.body), false); });
    });
    server.post("/api/solo", [this](const Request &req) {
        return reply([&] { return mute(request_json(req.body), true); });
    });
    server.post("/api/undo",
                [this](const Request &) { return reply([&] { return take_step(true); }); });
    server.post("/api/redo",
                [this](const Request &) { return reply([&] { return take_step(false); }); });
    server.post("/api/save", [this](const Request &) { return reply([&] { return save(); }); });
}

int run_serve(int argc, const char *const *argv, std::ostream &out, std::ostream &err) {
    ServeArguments args;
    try {
        args = parse_serve(argc, argv);
    } catch (const Usage &usage) {
        if (!usage.what.empty()) {
            err << "oska-render serve: " << printable(usage.what) << "\n";
        }
        err << "usage: oska-render serve SCENE.json [--port N] [--threads N] [--library FILE]\n"
               "                          [--allow-scene-library] [--max-image-memory MIB]\n"
               "Serves a page on 127.0.0.1 for tuning the scene's lights live.\n";
        return usage.what.empty() ? 0 : 2;
    }
    // SIGINT and SIGTERM end the server: this thread waits for them, every
    // other thread leaves them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    try {
        std::string text = lookdev::read_scene_text(args.scene);
        LoadOptions load = args.load_options();
        Scene scene =
            load_scene(SceneSource::from_text(text, args.scene, directory_of(args.scene)), load);
        if (scene.lights.empty()) {
            throw Error(args.scene + ": has no light to tune");
        }
        lookdev::Lookdev lookdev(std::move(scene), text, load, args.thread_count());
        std::string token = lookdev::random_secret();
        lookdev::HttpServer server(token);
        lookdev.serve(server, token);
        lookdev.open();
        int port = server.start(args.port);
        out << "oska lookdev: http://127.0.0.1:" << port << "/?token=" << token << std::endl;
        int signal = 0;
        sigwait(&stop_signals, &signal);
        server.stop();
        lookdev.close();
        return 0;
    } catch (const std::exception &e) {
        err << "oska-render: " << printable(e.what()) << "\n";
        return 1;
    }
}

} // namespace oska::render
