// Fuzzes oska-render's scene loader, in two modes chosen by the input's
// first byte.
//
// Text (any first byte but 0): any text as a scene file. Loading either
// gives a scene or throws the renderer's one kind of error (render::Error, a
// one-line message); anything else escaping the loader, or any fault the
// sanitizers see, is a finding. The files a scene names are looked up beside
// the example scenes; inputs that could name a file elsewhere (an absolute
// path, "..", an escaped slash or any \u escape) are skipped, so a run reads
// nothing but the examples.
//
// Scenes (first byte 0): the rest of the input chooses a scene shaped like
// the gallery's (a floor, an emitter, its lights and their parameters) whose
// numbers lean towards the edges (huge and tiny, -0, just inside and just
// beyond the limits, beyond the float range) and which is sometimes nested
// deep. A scene that loads is rendered a few pixels large: the renderer
// must neither crash nor give a pixel that is not a finite number.
#include "error.h"
#include "integrator.h"
#include "scene.h"
#include "session.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>

namespace {

using nlohmann::json;

bool stays_in_examples(const std::string &text) {
    for (const char *escape : {"..", "\"/", "\\/", "\\u"}) {
        if (text.find(escape) != std::string::npos) {
            return false;
        }
    }
    return true;
}

oska::render::LoadOptions load_options() {
    oska::render::LoadOptions options;
    options.default_library = oska::render::default_library_path();
    return options;
}

// A number for a field whose ordinary value is `plain`: mostly that (and
// that when the input runs out), now and then one at the edges, so that a
// good share of scenes load and render.
double number(FuzzedDataProvider &in, double plain) {
    static constexpr double kEdges[] = {
        0.0,   -0.0,  1.0,   -1.0,   16.0,   -16.0, 16.5,   178.99,  179.0,  180.0,
        1e-45, 1e-40, 1e-30, -1e-22, 1e-20,  1e7,   9.9e7,  1e8,     -1e8,   100000008.0,
        1e19,  -1e19, 3e38,  -3e38,  3.5e38, 1e300, 5e-324, 1.0 / 3, -0.001, 65536.0};
    int pick = in.ConsumeIntegralInRange(0, 63);
    if (pick < 58) {
        return plain;
    }
    if (pick < 62) {
        return in.PickValueInArray(kEdges);
    }
    if (pick == 62) {
        return in.ConsumeFloatingPointInRange(-100.0, 100.0);
    }
    double any = in.ConsumeFloatingPoint<double>();
    return std::isfinite(any) ? any : plain;
}

json triple(FuzzedDataProvider &in, double x, double y, double z) {
    return {number(in, x), number(in, y), number(in, z)};
}

// A vertex channel for an emitter of `vertices` vertices.
json channel(FuzzedDataProvider &in, int vertices) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return triple(in, 1, 0.5, 0.25);
    case 1:
        return {{"from", triple(in, 0, 0, 1)},
                {"to", triple(in, 1, 0, 0)},
                {"along", in.PickValueInArray({"u", "v", "x", "y", "z"})}};
    default: {
        json list = json::array();
        for (int v = 0; v < vertices; ++v) {
            list.push_back(triple(in, 0.5, 0.5, 0.5));
        }
        return {{"vertices", list}};
    }
    }
}

// The emitter: a quad, box or sphere, placed, sometimes with vertex channels.
json emitter(FuzzedDataProvider &in) {
    json object = {{"name", "panel"}};
    int vertices = 0;
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        object["shape"] = "quad";
        object["size"] = {number(in, 0.5), number(in, 0.5)};
        vertices = 4;
        break;
    case 1:
        object["shape"] = "box";
        object["size"] = triple(in, 0.5, 0.5, 0.5);
        vertices = 24;
        break;
    default:
        object["shape"] = "sphere";
        object["radius"] = number(in, 0.3);
        object["segments"] = 4;
        vertices = 15; // 3 rings of 5
        break;
    }
    object["rotate"] = triple(in, 180, 0, 0);
    object["translate"] = triple(in, 0, 1, 0);
    if (in.ConsumeBool()) {
        object["scale"] = number(in, 1);
    }
    if (in.ConsumeBool()) {
        object["channels"] = {{"1", channel(in, vertices)}, {"2", channel(in, vertices)}};
    }
    return object;
}

// The light's parameters: each of the gallery's, given or not.
json light_params(FuzzedDataProvider &in) {
    json params = {{"color", {number(in, 1), number(in, 0.8), number(in, 0.5), number(in, 2)}}};
    for (const char *scalar :
         {"decay_start", "decay_end", "alpha_scale", "burn_multiplier", "burn_threshold",
          "burn_power", "hue", "saturation", "value", "range_gamma", "cutoff", "threshold"}) {
        if (in.ConsumeBool()) {
            params[scalar] = number(in, 0.5);
        }
    }
    for (const char *flag :
         {"shadows", "burn", "hsv_adjust", "texture_range", "tint_shadow", "use_vertex_color",
          "directional", "cosine", "vc_color", "vc_intensity", "vc_range", "vc_shadow"}) {
        if (in.ConsumeBool()) {
            params[flag] = true;
        }
    }
    for (const char *index :
         {"vc_color_channel", "vc_intensity_channel", "vc_range_channel", "vc_shadow_channel"}) {
        params[index] = in.ConsumeIntegralInRange(1, 2);
    }
    params["decay"] = in.ConsumeIntegralInRange(0, 3);
    params["max_level"] = in.ConsumeIntegralInRange(0, 2);
    if (in.ConsumeBool()) {
        params["shadow_color"] = triple(in, 0.05, 0.05, 0.12);
    }
    return params;
}

json camera(FuzzedDataProvider &in) {
    json node = {{"position", triple(in, 0, 4.4, 5)}, {"look_at", triple(in, 0, 0, -0.4)}};
    if (in.ConsumeBool()) {
        node["up"] = triple(in, 0, 1, 0);
    }
    if (in.ConsumeBool()) {
        node["orthographic"] = true;
        node["height"] = number(in, 6);
    } else {
        node["fov"] = number(in, 45);
    }
    return node;
}

json scene(FuzzedDataProvider &in) {
    json root = {
        {"image",
         {{"width", in.ConsumeIntegralInRange(1, 4)},
          {"height", in.ConsumeIntegralInRange(1, 3)},
          {"spp", 1},
          {"light_samples", in.ConsumeIntegralInRange(1, 2)}}},
        {"camera", camera(in)},
        {"background", triple(in, 0, 0, 0)},
        {"materials", {{"floor", {{"color", triple(in, 0.85, 0.85, 0.85)}}}}},
        {"objects",
         {{{"name", "floor"},
           {"shape", "quad"},
           {"size", {number(in, 10), number(in, 8)}},
           {"material", "floor"}},
          emitter(in)}},
    };
    if (in.ConsumeIntegralInRange(0, 7) == 7) {
        root["objects"].push_back({{"name", "pawn"},
                                   {"mesh", "models/pawn.obj"},
                                   {"scale", number(in, 1)},
                                   {"translate", triple(in, 1, 0, 0)}});
    }
    json light = {{"name", "lamp"}, {"object", "panel"}, {"params", light_params(in)}};
    if (in.ConsumeBool()) {
        light["exponent"] = number(in, 2);
    }
    if (in.ConsumeBool()) {
        light["emit_divisor"] = number(in, 1);
    }
    root["lights"] = json::array({light});
    return root;
}

// The scene's text, sometimes with arrays or objects nested deep in place of
// its "about".
std::string scene_text(FuzzedDataProvider &in) {
    json root = scene(in);
    if (in.ConsumeIntegralInRange(0, 7) != 7) {
        return root.dump();
    }
    static constexpr std::size_t kDepths[] = {2, 62, 63, 64, 65, 1000, 100000};
    std::size_t depth = in.PickValueInArray(kDepths);
    bool objects = in.ConsumeBool();
    root["about"] = "@";
    std::string text = root.dump();
    std::string deep;
    for (std::size_t i = 0; i < depth; ++i) {
        deep += objects ? "{\"a\":" : "[";
    }
    deep += "0";
    for (std::size_t i = 0; i < depth; ++i) {
        deep += objects ? "}" : "]";
    }
    return text.replace(text.find("\"@\""), 3, deep);
}

void render_scene(FuzzedDataProvider &in) {
    // The library stays loaded from one render to the next: the fuzzer
    // registers its coverage counters when it is first loaded and reads them
    // after every input, so a session's unloading must not unmap them.
    static void *const kept =
        dlopen(oska::render::default_library_path().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    (void)kept;
    std::string text = scene_text(in);
    oska::render::Scene loaded;
    try {
        loaded =
            oska::render::load_scene_text(text, "fuzz.json", OSKA_EXAMPLES_DIR, load_options());
    } catch (const oska::render::Error &) {
        return; // refused with a message
    }
    oska::render::Framebuffer image;
    try {
        oska::render::Session session(loaded, {});
        session.open();
        image = oska::render::render(session, oska::render::settings_of(loaded), nullptr);
        session.close();
    } catch (const oska::render::Error &) {
        return; // the light refused, with a message
    }
    for (float value : image.rgb) {
        if (!std::isfinite(value)) {
            std::fprintf(stderr, "a pixel is %g for the scene %s\n", static_cast<double>(value),
                         text.c_str());
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 0 && data[0] == 0) {
        FuzzedDataProvider in(data + 1, size - 1);
        render_scene(in);
        return 0;
    }
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (!stays_in_examples(text)) {
        return -1; // not kept in the corpus
    }
    try {
        const oska::render::Scene scene =
            oska::render::load_scene_text(text, "fuzz.json", OSKA_EXAMPLES_DIR, load_options());
        (void)scene;
    } catch (const oska::render::Error &) {
        // The loader's own refusal: the message says what is wrong.
    }
    return 0;
}
