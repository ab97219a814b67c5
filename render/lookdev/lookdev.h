// The lookdev server's model: the scene's edits (scene_edits.h) apart from
// the live render that follows them (live_render.h), and what the pages
// ask of both together.
#ifndef OSKA_RENDER_LOOKDEV_LOOKDEV_H
#define OSKA_RENDER_LOOKDEV_LOOKDEV_H

#include "lookdev/live_render.h"
#include "lookdev/scene_edits.h"
#include "lookdev/values.h"
#include "scene.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace oska::render::lookdev {

class Lookdev {
  public:
    Lookdev(Scene scene, std::string text, LoadOptions load, int threads);
    Lookdev(const Lookdev &) = delete;
    Lookdev &operator=(const Lookdev &) = delete;
    // Stops the render first: it may hand values back to the edits.
    ~Lookdev();
    // Called whenever there is news for the pages; set before open().
    void on_change(std::function<void()> changed);
    void open() { render_.open(); }
    // Stops rendering and takes the session down; throws Error for the
    // library's leaks.
    void close() { render_.close(); }
    std::size_t light_count() const { return edits_.light_count(); }

    // What the page builds itself from: the lights, their controls, the
    // textures, the image's size. (lookdev_scene.cpp)
    json scene_json();
    // Status for the page: nothing (it then waits) while there is nothing
    // newer than what it has, unless `now`.
    std::optional<json> status(const Seen &seen, bool now);

    json change(const json &request) { return edits_.change(request); }
    json mute(const json &request, bool solo) { return edits_.mute(request, solo); }
    json take_step(bool back) { return edits_.take_step(back); }
    json save() { return edits_.save(); }

    json curves_of(uint64_t i) { return render_.curves_of(i); }
    std::shared_ptr<const Frame> frame() { return render_.frame(); }
    json probe(uint64_t x, uint64_t y) { return render_.probe(x, y); }

  private:
    LiveRender render_;
    SceneEdits edits_;
    std::function<void()> changed_ = [] {};
};

} // namespace oska::render::lookdev

#endif
