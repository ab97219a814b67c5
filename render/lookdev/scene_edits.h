// The scene's edits in the lookdev server: the lights' values as the pages
// see them, muting, the undo history and Save back into the scene file,
// under one lock. Each change is handed to the live render through one
// wake function.
#ifndef OSKA_RENDER_LOOKDEV_SCENE_EDITS_H
#define OSKA_RENDER_LOOKDEV_SCENE_EDITS_H

#include "lookdev/history.h"
#include "lookdev/live_render.h"
#include "lookdev/values.h"
#include "scene.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace oska::render::lookdev {

// The scene file's text, of a size the server is willing to hold.
std::string read_scene_text(const std::string &path);

class SceneEdits {
  public:
    // `render` renders the edits: it is woken with each and checks a
    // light's call against its object. `text` is the scene file as read.
    SceneEdits(LiveRender &render, std::string text, LoadOptions load);
    // Tells the pages there is news.
    void on_news(std::function<void()> news) { news_ = std::move(news); }

    std::size_t light_count() const { return lights_.size(); }
    const std::string &name(std::size_t i) const { return lights_.at(i).name; }
    const ShaderDecl &decl(std::size_t i) const { return *lights_.at(i).decl; }
    json values_at(std::size_t i);

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
    json save();
    // Light `i`'s values as the library last took them, after it refused
    // a change.
    void restore(std::size_t i, json values);
    // The values' part of a page's status: their serial, and the values
    // when they are newer than `seen` (a count past the serial counts as
    // nothing seen).
    json news(const std::optional<uint64_t> &seen);

  private:
    // A change as asked: {"light": index, "set": {name: value, ...}, "stroke":
    // text}, or one parameter as {"light": index, "name": name, "value": value}.
    std::tuple<std::size_t, json, std::string> parse_change(const json &request) const;
    // Sets `set` on light `i` and wakes the render; gives the values set as
    // the light's record holds them (single precision), which is what the
    // page shows and Save writes. Under mutex_.
    std::pair<json, uint64_t> set_values(std::size_t i, const json &set);
    // The answer to a change, once its history is recorded; under mutex_.
    json committed(const json &held, uint64_t generation);
    // Marks the values changed and wakes the render with `changes`; under
    // mutex_. The generation it will render.
    uint64_t wake(std::vector<LightChange> changes);
    void check_reads_back(const std::string &text, const std::string &path,
                          const std::vector<json> &values) const;
    // Writes the file over `old_text`; the lock is not held meanwhile
    // (another Save waits). Gives the text written.
    std::string write(const std::string &path, const std::vector<json> &params,
                      const std::vector<json> &values, const std::string &old_text);

    LiveRender &render_;
    const Scene &scene_;
    LoadOptions load_; // how the scene was read: the saved one is read back so
    std::function<void()> news_ = [] {};

    std::mutex mutex_; // all that follows
    std::condition_variable saved_;
    bool saving_ = false; // a Save is writing; another waits for it
    std::string text_;    // the scene file as last read or written
    History history_;
    // Counts the changes of the values the pages show, and that count when
    // they were last saved.
    uint64_t values_serial_ = 1, saved_serial_ = 1;
    struct Light {
        std::string name, where, shader; // fixed
        const ShaderDecl *decl;          // fixed
        json values;                     // as the page sees them
        ShaderCall call;                 // the call they make, handed to the render
        bool muted;                      // rendered dark; its values, curves and file as they are
        std::vector<std::string> given;  // parameters the file or the page set
        json written;                    // the values as the file holds them
    };
    std::vector<Light> lights_;
};

} // namespace oska::render::lookdev

#endif
