#include "lookdev/lookdev.h"

#include "error.h"
#include "geometry.h"
#include "image_output.h"
#include "integrator.h"
#include "lookdev/curves.h"

#include <algorithm>
#include <iterator>

namespace oska::render::lookdev {

namespace {

constexpr std::size_t kMessagesKept = 200;

} // namespace

Lookdev::Lookdev(Scene scene, std::string text, LoadOptions load, int threads)
    : load_(std::move(load)), scene_(std::move(scene)), text_(std::move(text)) {
    settings_ = settings_of(scene_, threads);
    SessionOptions options;
    options.report = [this](const std::string &line) { note("warning", line); };
    session_ = std::make_unique<Session>(scene_, options);
}

void Lookdev::open() {
    session_->open();
    for (const LightDesc &light : scene_.lights) {
        std::vector<std::string> given;
        for (const ParamSetting &setting : light.shader.params) {
            given.push_back(setting.decl->name);
        }
        lights_.push_back({light.name, light.where, light.shader.shader, light.shader.decl,
                           lookdev::light_values(light), light.shader, false, false, given,
                           lookdev::light_values(light)});
        curves_.push_back(lookdev::response_curves(*session_, scene_, lights_.size() - 1));
        curves_shown_.push_back(curves_serial_);
        curves_waiting_.push_back(false);
    }
    change_time_ = Clock::now();
    worker_ = std::thread([this] { render_loop(); });
}

// Stops rendering and takes the session down; throws Error for the
// library's leaks.
void Lookdev::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        cancel_ = true;
    }
    work_.notify_all();
    changed_();
    if (worker_.joinable()) {
        worker_.join();
    }
    session_->close();
}

Lookdev::~Lookdev() {
    if (worker_.joinable()) {
        try {
            close();
        } catch (const std::exception &) {
        }
    }
}

void Lookdev::note(const std::string &level, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({{"index", message_count_++}, {"level", level}, {"text", text}});
    if (messages_.size() > kMessagesKept) {
        messages_.pop_front();
    }
    changed_();
}

// ---- The render thread: applies the latest parameters, then renders
// coarse to full, giving up as soon as a newer change arrives.
void Lookdev::render_loop() {
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
                    changes.emplace_back(i, lights_[i].desired, lights_[i].muted);
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
            changed_();
        }
        rendered = generation;
    }
}

void Lookdev::apply(std::size_t i, ShaderCall call, bool muted) {
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
        curves_[i] = std::move(made);
        curves_waiting_[i] = true; // shown with the first image of the change
    } catch (const Error &e) {
        // The library refused them: back to what it took before.
        note("error", e.what());
        scene_.lights[i].shader = std::move(before);
        try {
            session_->refresh_light(i, scene_.lights[i].shader);
        } catch (const Error &again) {
            note("error", again.what());
        }
        std::lock_guard<std::mutex> lock(mutex_);
        lights_[i].values = lookdev::light_values(scene_.lights[i]);
        ++values_serial_;
        changed_();
    }
}

bool Lookdev::render_passes(uint64_t generation, Clock::time_point changed) {
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
            changed_();
        }
        if (frame->final && stats.dropped > 0) {
            note("warning", "the light shader answered " + std::to_string(stats.dropped) +
                                " of the full pass's samples with a colour that is not a finite "
                                "number: each was dropped, as a rejected sample");
        }
    }
    return true;
}

// The curves of light `i` as they were last shown.
json Lookdev::curves_of(uint64_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= lights_.size()) {
        throw Error("no light " + std::to_string(i));
    }
    return {{"light", i}, {"serial", curves_shown_[i]}, {"data", curves_[i]}};
}

// The curves of the change just rendered become the pages'; under
// mutex_. Whether there were any.
bool Lookdev::publish_curves() {
    if (std::none_of(curves_waiting_.begin(), curves_waiting_.end(), [](bool w) { return w; })) {
        return false;
    }
    ++curves_serial_;
    for (std::size_t i = 0; i < curves_waiting_.size(); ++i) {
        if (curves_waiting_[i]) {
            curves_waiting_[i] = false;
            curves_shown_[i] = curves_serial_;
        }
    }
    return true;
}

// ---- Status for the page: nothing (it then waits) while there is
// nothing newer than what it has, unless `now`.
std::optional<json> Lookdev::status(const Seen &seen, bool now) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A count past what the server has issued (another server's, or made
    // up) would hold back the news until the server caught up with it.
    auto given = [](const std::optional<uint64_t> &count, uint64_t issued) -> uint64_t {
        return count && *count <= issued ? *count : 0;
    };
    const uint64_t frame_seen = given(seen.frame, frame_serial_);
    const uint64_t messages_seen = given(seen.messages, message_count_);
    const uint64_t curves_seen = given(seen.curves, curves_serial_);
    const uint64_t values_seen = given(seen.values, values_serial_);
    // Curves only of the light in view: they are most of what a status weighs.
    const std::size_t in_view = seen.light;
    if (!now && !stopping_ && frame_serial_ <= frame_seen && message_count_ <= messages_seen &&
        curves_shown_[in_view] <= curves_seen && values_serial_ <= values_seen) {
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
    if (curves_shown_[in_view] > curves_seen) {
        out["curves"] = {{"light", in_view}, {"data", curves_[in_view]}};
    }
    // What every page shows of the values, whoever changed them.
    out["values_serial"] = values_serial_;
    if (values_serial_ > values_seen) {
        json lights = json::array();
        json muted = json::array();
        for (const Light &light : lights_) {
            lights.push_back(light.values);
            muted.push_back(light.muted);
        }
        out["values"] = {{"lights", lights},
                         {"muted", muted},
                         {"undo", undoable_},
                         {"redo", redoable_},
                         {"unsaved", saved_serial_ != values_serial_}};
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

std::shared_ptr<const Frame> Lookdev::frame() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_;
}

} // namespace oska::render::lookdev
