// The lookdev server's state: the scene's lights as the pages see them, their
// history and Save (lookdev_values.cpp), and the render thread that follows
// every change, with the curves and messages it publishes
// (lookdev_render.cpp).
#ifndef OSKA_RENDER_LOOKDEV_LOOKDEV_H
#define OSKA_RENDER_LOOKDEV_LOOKDEV_H

#include "lookdev/history.h"
#include "lookdev/http.h"
#include "lookdev/values.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace oska::render::lookdev {

using Clock = std::chrono::steady_clock;

// The scene file's text, of a size the server is willing to hold.
std::string read_scene_text(const std::string &path);

// A render published to the page: tone-mapped, sRGB, 8 bits, RGBA.
struct Frame {
    uint64_t serial = 0;
    uint64_t generation = 0;
    std::string pass;
    bool final = false;
    int width = 0, height = 0;
    std::string rgba;
    std::vector<float> rgb; // the render's own values, before the display's
};

class Lookdev {
  public:
    Lookdev(Scene scene, std::string text, LoadOptions load, int threads);
    void open();
    // Stops rendering and takes the session down; throws Error for the
    // library's leaks.
    void close();
    ~Lookdev();
    void serve(lookdev::HttpServer &server, const std::string &token);

  private:
    void note(const std::string &level, const std::string &text);
    // ---- What the page sees of the lights.
    json scene_json();
    // One change from a page: the parameters it sets on one light, checked
    // together as the scene file's would be and applied together; nothing
    // changes when any is refused. Changes are taken one at a time, each on
    // the values the last one left, so none is lost.
    json change(const json &request);
    // Mutes light `i` (`muted`), or with `solo` mutes every other light and
    // unmutes it (unmutes all when it was solo already). What the file
    // holds, the history and the curves stay as they are.
    json mute(const json &request, bool solo);
    // Undo (`back`) or redo one step of every page's history.
    json take_step(bool back);
    // A change as asked: {"light": index, "set": {name: value, ...}, "stroke":
    // text}, or one parameter as {"light": index, "name": name, "value": value}.
    std::tuple<std::size_t, json, std::string> parse_change(const json &request) const;
    // Sets `set` on light `i` and hands it to the render thread; gives the
    // values set as the light's record holds them (single precision), which
    // is what the page shows and Save writes.
    json set_values(std::size_t i, const json &set);
    // The answer to a change, once its history is recorded.
    json committed(const json &held);
    json save();
    void check_reads_back(const std::string &text, const std::string &path,
                          const std::vector<json> &values) const;
    json values_at(std::size_t i);
    // ---- The render thread: applies the latest parameters, then renders
    // coarse to full, giving up as soon as a newer change arrives.
    void render_loop();
    void apply(std::size_t i, ShaderCall call, bool muted);
    bool render_passes(uint64_t generation, Clock::time_point changed);
    // The curves of light `i` as they were last shown.
    json curves_of(uint64_t i);
    // The curves of the change just rendered become the pages'; under
    // mutex_. Whether there were any.
    bool publish_curves();
    // ---- What a page says it has: the counts of the news it was given
    // last (nullopt for a count it did not send as a plain whole number),
    // and the light whose curves it shows.
    struct Seen {
        std::optional<uint64_t> frame, messages, curves, values;
        std::size_t light = 0;
    };
    // What `request` says it has; throws Error for a light the scene lacks.
    Seen seen_by(const lookdev::HttpRequest &request) const;
    // Status for the page: nothing (it then waits) while there is nothing
    // newer than what it has, unless `now`. A count the server never gave
    // counts as nothing seen, so that page is sent everything.
    std::optional<json> status(const Seen &seen, bool now);
    // A page's stream of the same news, from what its request says it has:
    // an event each time any of it is newer.
    lookdev::EventSource news_for(const lookdev::HttpRequest &request);
    std::shared_ptr<const Frame> frame();
    // The render's value at pixel (x, y) of the image shown, with each
    // light's share of it and the light that gives most.
    // (lookdev_probe.cpp)
    json probe(uint64_t x, uint64_t y);

    LoadOptions load_; // how the scene was read: the saved one is read back so
    Scene scene_;
    std::string text_; // the scene file as last read or written
    RenderSettings settings_;
    std::unique_ptr<Session> session_;
    std::thread worker_;

    std::mutex mutex_, save_mutex_;
    std::mutex change_mutex_;  // one change at a time; taken before mutex_
    std::mutex lights_mutex_;  // the session's lights: held while they change or are probed
    lookdev::History history_; // under change_mutex_
    // Under mutex_: counts the changes of the values the pages show, and
    // that count when they were last saved.
    uint64_t values_serial_ = 1, saved_serial_ = 1;
    std::size_t undoable_ = 0, redoable_ = 0;
    std::condition_variable work_;
    std::function<void()> changed_ = [] {}; // tells waiting pages; set before open()
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};
    uint64_t generation_ = 1;
    Clock::time_point change_time_;
    struct Light {
        // What the request threads read without the lock: fixed once open
        // (the render thread rewrites the scene's parameters, never these).
        std::string name, where, shader;
        const ShaderDecl *decl;
        // Under the lock.
        json values;                    // as the page sees them
        ShaderCall desired;             // the call the render thread is to apply
        bool dirty;                     // `desired` not yet applied
        bool muted;                     // rendered dark; its values, curves and file as they are
        std::vector<std::string> given; // parameters the file or the page set
        json written;                   // the values as the file holds them; under save_mutex_
    };
    std::vector<Light> lights_;
    std::vector<json> curves_; // a light's curves, as the page is sent them
    uint64_t curves_serial_ = 1;
    std::vector<uint64_t> curves_shown_; // the serial at which each light's were
    std::vector<bool> curves_waiting_;   // curves of a change not yet shown
    std::shared_ptr<const Frame> frame_;
    uint64_t frame_serial_ = 0;
    std::deque<json> messages_;
    uint64_t message_count_ = 0;
    std::atomic<long> completed_{0}, cancelled_{0};
    double coarse_ms_ = 0, medium_ms_ = 0, full_ms_ = 0;
};

} // namespace oska::render::lookdev

#endif
