#include "lookdev/live_render.h"

#include "display.h"
#include "error.h"
#include "framebuffer.h"
#include "integrator.h"
#include "lookdev/curves.h"

#include <algorithm>
#include <iterator>
#include <tuple>
#include <utility>

namespace oska::render::lookdev {

namespace {

constexpr std::size_t kMessagesKept = 200;

} // namespace

LiveRender::LiveRender(Scene scene, int threads) : scene_(std::move(scene)) {
    settings_ = settings_of(scene_, threads);
    SessionOptions options;
    options.report = [this](const std::string &line) { note("warning", line); };
    session_ = std::make_unique<Session>(scene_, options);
}

void LiveRender::open() {
    session_->open();
    for (std::size_t i = 0; i < scene_.lights.size(); ++i) {
        Light light;
        light.call = scene_.lights[i].shader;
        light.curves = lookdev::response_curves(*session_, scene_, i);
        light.curves_shown = curves_serial_;
        lights_.push_back(std::move(light));
    }
    change_time_ = Clock::now();
    worker_ = std::thread([this] { render_loop(); });
}

uint64_t LiveRender::wake(std::vector<LightChange> changes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (LightChange &change : changes) {
        Light &light = lights_.at(change.light);
        light.call = std::move(change.call);
        light.muted = change.muted;
        light.dirty = true;
    }
    ++generation_;
    change_time_ = Clock::now();
    cancel_ = true;
    work_.notify_all();
    return generation_;
}

uint64_t LiveRender::generation() {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

void LiveRender::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        cancel_ = true;
    }
    work_.notify_all();
    news_();
    if (worker_.joinable()) {
        worker_.join();
    }
    session_->close();
}

LiveRender::~LiveRender() {
    if (worker_.joinable()) {
        try {
            close();
        } catch (const std::exception &) {
        }
    }
}

void LiveRender::note(const std::string &level, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({{"index", message_count_++}, {"level", level}, {"text", text}});
    if (messages_.size() > kMessagesKept) {
        messages_.pop_front();
    }
    news_();
}

// ---- The render thread: applies the latest parameters, then renders
// coarse to full, giving up as soon as a newer change arrives.
void LiveRender::render_loop() {
    uint64_t rendered = 0;
    for (;;) {
        std::vector<std::tuple<std::size_t, ShaderCall, bool>> changes;
        uint64_t generation;
        Clock::time_point changed;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return stopping_ || generation_ != rendered; });
            if (stopping_) {
                return;
            }
            generation = generation_;
            changed = change_time_;
            for (std::size_t i = 0; i < lights_.size(); ++i) {
                if (lights_[i].dirty) {
                    changes.emplace_back(i, lights_[i].call, lights_[i].muted);
                    lights_[i].dirty = false;
                }
            }
            cancel_ = false;
        }
        {
            std::lock_guard<std::mutex> probing(lights_mutex_);
            for (auto &[i, call, muted] : changes) {
                apply(i, std::move(call), muted);
            }
        }
        ++(render_passes(generation, changed) ? completed_ : cancelled_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (publish_curves()) {
            news_();
        }
        rendered = generation;
    }
}

void LiveRender::apply(std::size_t i, ShaderCall call, bool muted) {
    ShaderCall before = scene_.lights[i].shader;
    scene_.lights[i].shader = std::move(call);
    try {
        session_->refresh_light(i, scene_.lights[i].shader);
        json made = lookdev::response_curves(*session_, scene_, i);
        if (muted) {
            // Its curves stay the light's own; only the render goes dark.
            session_->refresh_light(i, lookdev::without_emission(scene_.lights[i].shader,
                                                                 session_->lights()[i].params));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        lights_[i].curves = std::move(made);
        lights_[i].curves_waiting = true; // shown with the first image of the change
    } catch (const Error &e) {
        // The library refused them: back to what it took before.
        note("error", e.what());
        scene_.lights[i].shader = std::move(before);
        try {
            session_->refresh_light(i, scene_.lights[i].shader);
        } catch (const Error &again) {
            note("error", again.what());
        }
        refused_(i, lookdev::light_values(scene_.lights[i]));
        news_();
    }
}

bool LiveRender::render_passes(uint64_t generation, Clock::time_point changed) {
    struct Pass {
        const char *name;
        int divisor, spp, samples_divisor;
    };
    const Pass passes[] = {{"coarse", 4, 1, 8}, {"medium", 2, 1, 4}, {"full", 1, 0, 1}};
    for (const Pass &pass : passes) {
        RenderSettings settings = settings_;
        settings.width = std::max(1, settings_.width / pass.divisor);
        settings.height = std::max(1, settings_.height / pass.divisor);
        settings.spp = pass.spp > 0 ? pass.spp : settings_.spp;
        settings.light_samples = std::max(1, settings_.light_samples / pass.samples_divisor);
        settings.cancel = &cancel_;
        Stats stats;
        Framebuffer image = render(session_->lit(), settings, &stats);
        // A stopped render's image is partial: never shown as its pass.
        if (stats.cancelled || cancel_.load()) {
            return false;
        }
        auto frame = std::make_shared<Frame>();
        frame->generation = generation;
        frame->pass = pass.name;
        frame->final = pass.divisor == 1;
        frame->width = image.width;
        frame->height = image.height;
        frame->rgba.assign(4 * image.rgb.size() / 3, static_cast<char>(255)); // opaque
        for (std::size_t c = 0; c < image.rgb.size(); ++c) {
            frame->rgba[c / 3 * 4 + c % 3] = static_cast<char>(display_value(image.rgb[c]));
        }
        frame->rgb = std::move(image.rgb);
        double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - changed).count();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (generation != generation_) {
                return false;
            }
            frame->serial = ++frame_serial_;
            frame_ = frame;
            publish_curves();
            (frame->final ? full_ms_ : pass.divisor == 4 ? coarse_ms_ : medium_ms_) = elapsed;
            news_();
        }
        if (frame->final && stats.dropped > 0) {
            note("warning", "the light shader answered " + std::to_string(stats.dropped) +
                                " of the full pass's samples with a colour that is not a finite "
                                "number: each was dropped, as a rejected sample");
        }
    }
    return true;
}

json LiveRender::curves_of(uint64_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= lights_.size()) {
        throw Error("no light " + std::to_string(i));
    }
    return {{"light", i}, {"serial", lights_[i].curves_shown}, {"data", lights_[i].curves}};
}

bool LiveRender::publish_curves() {
    if (std::none_of(lights_.begin(), lights_.end(),
                     [](const Light &l) { return l.curves_waiting; })) {
        return false;
    }
    ++curves_serial_;
    for (Light &light : lights_) {
        if (light.curves_waiting) {
            light.curves_waiting = false;
            light.curves_shown = curves_serial_;
        }
    }
    return true;
}

std::optional<json> LiveRender::news(const Seen &seen, bool now) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A count past what the server has issued (another server's, or made
    // up) would hold back the news until the server caught up with it.
    auto given = [](const std::optional<uint64_t> &count, uint64_t issued) -> uint64_t {
        return count && *count <= issued ? *count : 0;
    };
    const uint64_t frame_seen = given(seen.frame, frame_serial_);
    const uint64_t messages_seen = given(seen.messages, message_count_);
    const uint64_t curves_seen = given(seen.curves, curves_serial_);
    // Curves only of the light in view: they are most of what a status weighs.
    const std::size_t in_view = seen.light;
    if (!now && !stopping_ && frame_serial_ <= frame_seen && message_count_ <= messages_seen &&
        lights_[in_view].curves_shown <= curves_seen) {
        return std::nullopt;
    }
    json messages = json::array();
    std::copy_if(messages_.begin(), messages_.end(), std::back_inserter(messages),
                 [&](const json &m) { return m["index"].get<uint64_t>() >= messages_seen; });
    json out = {{"generation", generation_},
                {"messages", messages},
                {"message_count", message_count_},
                {"renders_completed", completed_.load()},
                {"renders_cancelled", cancelled_.load()},
                {"timing_ms", {{"coarse", coarse_ms_}, {"medium", medium_ms_}, {"full", full_ms_}}},
                {"curves_serial", curves_serial_}};
    if (lights_[in_view].curves_shown > curves_seen) {
        out["curves"] = {{"light", in_view}, {"data", lights_[in_view].curves}};
    }
    if (frame_) {
        out["frame"] = {{"serial", frame_->serial},
                        {"generation", frame_->generation},
                        {"pass", frame_->pass},
                        {"final", frame_->final && frame_->generation == generation_},
                        {"width", frame_->width},
                        {"height", frame_->height}};
    }
    return out;
}

std::shared_ptr<const Frame> LiveRender::frame() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_;
}

json LiveRender::light_object(std::size_t i) const {
    const Mesh &mesh = scene_.objects[session_->lights().at(i).object].mesh;
    json channels = json::array();
    for (std::size_t n = 1; n < mesh.channels.size(); ++n) {
        if (!mesh.channels[n].empty()) {
            channels.push_back(n);
        }
    }
    return {{"object", scene_.objects[session_->lights()[i].object].name}, {"channels", channels}};
}

} // namespace oska::render::lookdev
