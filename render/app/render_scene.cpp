#include "render_scene.h"

namespace oska::render {

SceneSource SceneSource::from_file(const std::string &path) {
    SceneSource source;
    source.file = path;
    return source;
}

SceneSource SceneSource::from_text(const std::string &text, const std::string &name,
                                   const std::string &base_dir) {
    SceneSource source;
    source.text = text;
    source.name = name;
    source.base_dir = base_dir;
    return source;
}

Scene load_scene(const SceneSource &source, const LoadOptions &load) {
    try {
        if (source.name.empty()) {
            return load_scene_file(source.file, load);
        }
        return load_scene_text(source.text, source.name, source.base_dir, load);
    } catch (const DeclarationsNotBeside &missing) {
        // Nothing beside a file that is not the shader library at all: the
        // library is what is wrong, and its own message says so.
        check_shader_library(missing.scene_file, missing.library);
        throw;
    }
}

void with_open_scene(const SceneSource &source, const SceneRun &run, OpenedScene &out,
                     const std::function<void(const Session &)> &use) {
    out.scene = load_scene(source, run.load);
    if (run.loaded) {
        run.loaded(out.scene);
    }
    Session session(out.scene, run.session);
    try {
        session.open();
        use(session);
        session.close();
    } catch (...) {
        out.protocol = session.protocol();
        throw;
    }
    out.protocol = session.protocol();
}

void render_scene(const SceneSource &source, const SceneRun &run, RenderedScene &out) {
    with_open_scene(source, run, out, [&](const Session &session) {
        out.settings = settings_of(out.scene);
        if (run.adjust) {
            run.adjust(out.settings);
        }
        out.image = render(session.lit(), out.settings, &out.stats, run.progress);
        if (run.rendered) {
            run.rendered();
        }
    });
}

} // namespace oska::render
