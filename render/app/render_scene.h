// A scene from its file or text to an image: loaded, a session opened on it,
// rendered and the session closed. The command line, the lookdev server, the
// tests and the benchmarks all go through here, so that the order of these
// steps (and what a failure in the middle takes down) is written once.
#ifndef OSKA_RENDER_RENDER_SCENE_H
#define OSKA_RENDER_RENDER_SCENE_H

#include "framebuffer.h"
#include "integrator.h"
#include "scene.h"
#include "session.h"

#include <functional>
#include <string>
#include <vector>

namespace oska::render {

// Where a scene comes from: a file, or a text with the name that messages
// give it and the folder that its relative paths start from.
struct SceneSource {
    std::string file; // read when `name` is empty
    std::string text, name, base_dir;

    static SceneSource from_file(const std::string &path);
    static SceneSource from_text(const std::string &text, const std::string &name,
                                 const std::string &base_dir);
};

Scene load_scene(const SceneSource &source, const LoadOptions &load);

// How to load, open and render.
struct SceneRun {
    LoadOptions load;
    SessionOptions session;
    // Called with the scene once it is loaded, before the session opens
    // (the command line checks its output there, ahead of any render).
    std::function<void(const Scene &)> loaded;
    // Changes the settings the scene gives (render_scene only).
    std::function<void(RenderSettings &)> adjust;
    // The render's progress (render_scene only; see render()).
    std::function<void(const Progress &)> progress;
    // Called after the render, before the session closes, so that what the
    // library says as it ends comes after it (render_scene only).
    std::function<void()> rendered;
};

// A loaded scene and the library's exports that its session called, in
// order (filled in also when a step throws, once the session exists).
struct OpenedScene {
    Scene scene;
    std::vector<std::string> protocol;
};

// Loads the scene into `out`, opens a session on it, gives the session to
// `use` and closes it. Throws Error for a failure in any step; a session
// that fails half-way is still taken down.
void with_open_scene(const SceneSource &source, const SceneRun &run, OpenedScene &out,
                     const std::function<void(const Session &)> &use);

struct RenderedScene : OpenedScene {
    RenderSettings settings;
    Framebuffer image;
    Stats stats;
};

// One render of a scene with the settings it gives, as `run.adjust` changes
// them.
void render_scene(const SceneSource &source, const SceneRun &run, RenderedScene &out);

} // namespace oska::render

#endif
