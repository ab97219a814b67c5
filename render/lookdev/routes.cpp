// The lookdev server's HTTP routes: each parses its request, asks the model
// and writes its answer; the model knows nothing of HTTP.
#include "lookdev/routes.h"

#include "error.h"
#include "json_reader.h"
#include "lookdev/assets.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace oska::render::lookdev {

namespace {

// The page's files, with the token written into the page itself (for its
// requests to the API); the rest it fetches with the cookie its answer sets.
void serve_assets(HttpServer &server, const std::string &token) {
    for (const Asset &asset : assets()) {
        std::string path = std::string("/") + asset.name;
        bool page = path == "/index.html";
        auto handler = [asset, page, token](const HttpRequest &) {
            HttpResponse res;
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
            return std::optional<HttpResponse>(res);
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
std::optional<HttpResponse> reply(const std::function<std::optional<json>()> &make) {
    HttpResponse res;
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

// What `request` says the page has; throws Error for a light the scene lacks.
Seen seen_by(const HttpRequest &request, std::size_t lights) {
    Seen seen;
    seen.frame = plain_whole_number(request.arg("frame"));
    seen.messages = plain_whole_number(request.arg("messages"));
    seen.curves = plain_whole_number(request.arg("curves"));
    seen.values = plain_whole_number(request.arg("values"));
    if (request.has("light")) {
        seen.light = request.whole("light", lights - 1);
    }
    return seen;
}

// A page's stream of the news, from what its request says it has: an
// event each time any of it is newer.
EventSource news_for(Lookdev &model, const HttpRequest &request) {
    auto seen = std::make_shared<Seen>(seen_by(request, model.light_count()));
    return [&model, seen]() -> std::optional<std::string> {
        std::optional<json> news = model.status(*seen, false);
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

// The image shown, its pixels as they are and what they are in headers.
std::optional<HttpResponse> image(Lookdev &model) {
    std::shared_ptr<const Frame> shown = model.frame();
    HttpResponse res;
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
}

} // namespace

void serve_routes(HttpServer &server, const std::string &token, Lookdev &model) {
    model.on_change([&server] { server.wake(); });
    serve_assets(server, token);
    using Request = HttpRequest;
    server.get("/api/scene",
               [&model](const Request &) { return reply([&] { return model.scene_json(); }); });
    server.get("/api/status", [&model](const Request &req) {
        return reply([&] { return model.status(seen_by(req, model.light_count()), !req.patient); });
    });
    server.events("/api/events", [&model](const Request &req) { return news_for(model, req); });
    server.get("/api/curves", [&model](const Request &req) {
        return reply([&] { return model.curves_of(req.whole("light")); });
    });
    server.get("/api/probe", [&model](const Request &req) {
        return reply([&] { return model.probe(req.whole("x"), req.whole("y")); });
    });
    server.get("/api/image", [&model](const Request &) { return image(model); });
    server.post("/api/param", [&model](const Request &req) {
        return reply([&] { return model.change(request_json(req.body)); });
    });
    server.post("/api/change", [&model](const Request &req) {
        return reply([&] { return model.change(request_json(req.body)); });
    });
    server.post("/api/mute", [&model](const Request &req) {
        return reply([&] { return model.mute(request_json(req.body), false); });
    });
    server.post("/api/solo", [&model](const Request &req) {
        return reply([&] { return model.mute(request_json(req.body), true); });
    });
    server.post("/api/undo",
                [&model](const Request &) { return reply([&] { return model.take_step(true); }); });
    server.post("/api/redo", [&model](const Request &) {
        return reply([&] { return model.take_step(false); });
    });
    server.post("/api/save",
                [&model](const Request &) { return reply([&] { return model.save(); }); });
}

} // namespace oska::render::lookdev
