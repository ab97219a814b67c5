// The live render of the lookdev server: a thread that applies the lights'
// latest calls to the session and renders coarse to full, giving up as soon
// as a newer change arrives, and what it publishes for the pages (frames,
// each light's curves, the library's messages).
#ifndef OSKA_RENDER_LOOKDEV_LIVE_RENDER_H
#define OSKA_RENDER_LOOKDEV_LIVE_RENDER_H

#include "integrator.h"
#include "lookdev/values.h"
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
#include <utility>
#include <vector>

namespace oska::render::lookdev {

using Clock = std::chrono::steady_clock;

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

// What a page says it has: the counts of the news it was given last
// (nullopt for a count it did not send as a plain whole number), and the
// light whose curves it shows.
struct Seen {
    std::optional<uint64_t> frame, messages, curves, values;
    std::size_t light = 0;
};

// A light's call as the edits left it, to be rendered (dark when muted).
struct LightChange {
    std::size_t light;
    ShaderCall call;
    bool muted;
};

class LiveRender {
  public:
    LiveRender(Scene scene, int threads);
    LiveRender(const LiveRender &) = delete;
    LiveRender &operator=(const LiveRender &) = delete;
    ~LiveRender();
    // Tells the pages there is news; set before open().
    void on_news(std::function<void()> news) { news_ = std::move(news); }
    // Gives light `i`'s values back as the library last took them, after it
    // refused a change; set before open().
    void on_refused(std::function<void(std::size_t, json)> refused) {
        refused_ = std::move(refused);
    }
    void open();
    // Stops rendering and takes the session down; throws Error for the
    // library's leaks.
    void close();
    bool running() const { return worker_.joinable(); }

    // The edits' one way in: these lights changed. Drops the render under
    // way and starts another; gives the generation it will render.
    uint64_t wake(std::vector<LightChange> changes);
    // Throws Error when light `i` could not take `call` (a channel its
    // object lacks).
    void check(std::size_t i, const ShaderCall &call) const { session_->check_light(i, call); }
    // The scene rendered: only its lights' calls change, on the render thread.
    const Scene &scene() const { return scene_; }
    // The pages' description of light `i` the render knows: its object and
    // that object's vertex channels. Fixed once open.
    json light_object(std::size_t i) const;
    const RenderSettings &settings() const { return settings_; }
    uint64_t generation();

    // The curves of light `i` as they were last shown.
    json curves_of(uint64_t i);
    // The render's part of a page's status: nothing while there is nothing
    // newer than what it has, unless `now`. A count the server never gave
    // counts as nothing seen, so that page is sent everything.
    std::optional<json> news(const Seen &seen, bool now);
    std::shared_ptr<const Frame> frame();
    // The render's value at pixel (x, y) of the image shown, with each
    // light's share of it and the light that gives most.
    // (lookdev_probe.cpp)
    json probe(uint64_t x, uint64_t y);

  private:
    void note(const std::string &level, const std::string &text);
    void render_loop();
    void apply(std::size_t i, ShaderCall call, bool muted);
    bool render_passes(uint64_t generation, Clock::time_point changed);
    // The curves of the change just rendered become the pages'; under
    // mutex_. Whether there were any.
    bool publish_curves();

    Scene scene_;
    RenderSettings settings_;
    std::unique_ptr<Session> session_;
    std::thread worker_;
    std::function<void()> news_ = [] {};
    std::function<void(std::size_t, json)> refused_ = [](std::size_t, const json &) {};

    std::mutex mutex_;        // all that follows but the session's lights
    std::mutex lights_mutex_; // the session's lights: held while they change or are probed
    std::condition_variable work_;
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};
    uint64_t generation_ = 1;
    Clock::time_point change_time_;
    // NOLINTNEXTLINE(bugprone-exception-escape): moving json and strings does not throw
    struct Light {
        ShaderCall call;             // the call to apply
        bool muted = false;          // rendered dark; its curves stay its own
        bool dirty = false;          // `call` or `muted` not yet applied
        json curves;                 // as the page is sent them
        uint64_t curves_shown;       // the serial at which they were
        bool curves_waiting = false; // curves of a change not yet shown
    };
    std::vector<Light> lights_;
    uint64_t curves_serial_ = 1;
    std::shared_ptr<const Frame> frame_;
    uint64_t frame_serial_ = 0;
    std::deque<json> messages_;
    uint64_t message_count_ = 0;
    std::atomic<long> completed_{0}, cancelled_{0};
    double coarse_ms_ = 0, medium_ms_ = 0, full_ms_ = 0;
};

} // namespace oska::render::lookdev

#endif
