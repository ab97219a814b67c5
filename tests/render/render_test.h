// Helpers for the renderer's integration tests: scenes written inline as
// JSON, rendered small, and the outcome (image, statistics, messages, the
// error that stopped it).
#ifndef OSKA_TESTS_RENDER_TEST_H
#define OSKA_TESTS_RENDER_TEST_H

#include "cli.h"
#include "error.h"
#include "folder.h"
#include "integrator.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <oska/host/host.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace oska::render::test {

using nlohmann::json;

// A folder of its own under /tmp, removed with its files at the end.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/oska-render-test-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string write(const std::string &name, const std::string &text) const {
        std::ofstream(file(name), std::ios::binary) << text;
        return file(name);
    }
    std::vector<std::string> list() const { return names_in(path_); }

  private:
    std::string path_;
};

struct Outcome {
    Framebuffer image;
    Stats stats;
    std::vector<std::string> messages; // the library's warnings, as reported
    std::vector<std::string> protocol; // the library's exports, in call order
    std::string error;                 // empty: rendered and closed cleanly
};

// How to render, beyond what the scene says.
struct Sampling {
    SamplerKind sampler = SamplerKind::sobol;
    uint32_t seed = 0;
    double noise_target = 0;
    int max_passes = 4096;
    LightSampling light_sampling = RenderSettings{}.light_sampling;
    int light_split = RenderSettings{}.light_split;
    bool adaptive = RenderSettings{}.adaptive;
};

// Loads, renders and closes a scene given as JSON; `base_dir` resolves its
// relative paths.
inline Outcome render_json(const json &scene_json, int threads = 1,
                           const std::string &base_dir = ".", const LoadOptions &load = {},
                           const Sampling &sampling = {}) {
    Outcome outcome;
    SceneRun run;
    run.load = load;
    run.session.report = [&outcome](const std::string &line) { outcome.messages.push_back(line); };
    run.adjust = [&](RenderSettings &settings) {
        settings.threads = threads;
        settings.sampler = sampling.sampler;
        settings.seed = sampling.seed;
        settings.noise_target = sampling.noise_target;
        settings.max_passes = sampling.max_passes;
        settings.light_sampling = sampling.light_sampling;
        settings.light_split = sampling.light_split;
        settings.adaptive = sampling.adaptive;
    };
    RenderedScene rendered;
    try {
        render_scene(SceneSource::from_text(scene_json.dump(), "test.json", base_dir), run,
                     rendered);
    } catch (const Error &e) {
        outcome.error = e.what();
    }
    outcome.image = std::move(rendered.image);
    outcome.stats = rendered.stats;
    outcome.protocol = std::move(rendered.protocol);
    return outcome;
}

// The error that loading or opening the scene stops with ("" if none).
inline std::string error_of(const json &scene_json, const std::string &base_dir = ".",
                            const LoadOptions &load = {}) {
    Outcome outcome = render_json(scene_json, 1, base_dir, load);
    return outcome.error;
}

// An emitter `size` wide, `height` above a white floor, facing down, with
// an orthographic camera looking straight down on the floor along the X
// axis: the middle row's pixel centres lie on the floor at z = 0, x from
// `x0` to `x1`. Shadows off; the light's parameters are `params`.
inline json floor_scene(const json &params, float height = 1, float size = 0.02f, float x0 = -2,
                        float x1 = 2, int width = 64) {
    float centre = (x0 + x1) / 2, span = x1 - x0;
    int rows = 3;
    return json{{"image", {{"width", width}, {"height", rows}, {"spp", 1}, {"light_samples", 4}}},
                {"camera",
                 {{"position", {centre, 5, 0}},
                  {"look_at", {centre, 0, 0}},
                  {"up", {0, 0, -1}},
                  {"orthographic", true},
                  {"height", span * rows / width}}},
                {"objects",
                 {{{"name", "floor"}, {"shape", "quad"}, {"size", {40, 40}}, {"color", {1, 1, 1}}},
                  {{"name", "panel"},
                   {"shape", "quad"},
                   {"size", {size, size}},
                   {"rotate", {180, 0, 0}},
                   {"translate", {0, height, 0}}}}},
                {"lights", {{{"name", "lamp"}, {"object", "panel"}, {"params", params}}}}};
}

// The floor's x under pixel column `px` of floor_scene's middle row.
inline float floor_x(int px, float x0 = -2, float x1 = 2, int width = 64) {
    return x0 + (x1 - x0) * (static_cast<float>(px) + 0.5f) / static_cast<float>(width);
}

} // namespace oska::render::test

#endif
