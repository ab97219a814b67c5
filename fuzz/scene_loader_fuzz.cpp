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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <iterator>
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

// The numbers of a scene being drawn. The input names up to three of them,
// by the order in which they are drawn, to lie at the edges; the others
// keep their ordinary values, so that most scenes load and render and the
// fuzzer can move an extreme value from field to field.
class Draw {
  public:
    explicit Draw(FuzzedDataProvider &input) : in(input) {
        for (int &index : wild_) {
            index = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 63) : -1;
        }
    }

    // A number for a field whose ordinary value is `plain`.
    double number(double plain) {
        static constexpr double kEdges[] = {
            0.0,   -0.0,  1.0,   -1.0,   16.0,  -16.0,  16.5,        178.99,  179.0,  180.0,
            1e-45, 1e-40, 1e-30, 1e-22,  1e-20, 1e7,    9.9e7,       1e8,     -1e8,   1e19,
            -1e19, 3e38,  -3e38, 3.5e38, 1e300, 5e-324, 100000008.0, 1.0 / 3, -0.001, 65536.0};
        int index = next_++;
        if (std::find(std::begin(wild_), std::end(wild_), index) == std::end(wild_)) {
            return plain;
        }
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return in.ConsumeFloatingPointInRange(-100.0, 100.0);
        case 1: {
            double any = in.ConsumeFloatingPoint<double>();
            return std::isfinite(any) ? any : plain;
        }
        default:
            return in.PickValueInArray(kEdges);
        }
    }

    json triple(double x, double y, double z) { return {number(x), number(y), number(z)}; }

    FuzzedDataProvider &in;

  private:
    int wild_[3] = {-1, -1, -1};
    int next_ = 0;
};

// A vertex channel for an emitter of `vertices` vertices.
json channel(Draw &d, int vertices) {
    switch (d.in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return d.triple(1, 0.5, 0.25);
    case 1:
        return {{"from", d.triple(0, 0, 1)},
                {"to", d.triple(1, 0, 0)},
                {"along", d.in.PickValueInArray({"u", "v", "x", "y", "z"})}};
    default: {
        json list = json::array();
        for (int v = 0; v < vertices; ++v) {
            list.push_back(d.triple(0.5, 0.5, 0.5));
        }
        return {{"vertices", list}};
    }
    }
}

// The emitter: a quad, box or sphere, placed, sometimes with vertex channels.
json emitter(Draw &d) {
    json object = {{"name", "panel"}};
    int vertices = 0;
    switch (d.in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        object["shape"] = "quad";
        object["size"] = {d.number(0.5), d.number(0.5)};
        vertices = 4;
        break;
    case 1:
        object["shape"] = "box";
        object["size"] = d.triple(0.5, 0.5, 0.5);
        vertices = 24;
        break;
    default:
        object["shape"] = "sphere";
        object["radius"] = d.number(0.3);
        object["segments"] = 4;
        vertices = 15; // 3 rings of 5
        break;
    }
    object["rotate"] = d.triple(180, 0, 0);
    object["translate"] = d.triple(0, 1, 0);
    if (d.in.ConsumeBool()) {
        object["scale"] = d.number(1);
    }
    if (d.in.ConsumeBool()) {
        object["channels"] = {{"1", channel(d, vertices)}, {"2", channel(d, vertices)}};
    }
    return object;
}

// The light's parameters: each of the gallery's, given or not.
json light_params(Draw &d) {
    static const oska_param_info kRows[] = {OSKACOLOR_PARAMS(OSKA_PARAM_INFO)};
    json params;
    // In table order, so that a parameter added to the table is drawn too.
    for (const oska_param_info &row : kRows) {
        if (row.role == OSKA_ROLE_EMISSION) {
            params[row.name] = {d.number(1), d.number(0.8), d.number(0.5), d.number(2)};
        } else if (row.type == OSKA_PARAM_TYPE_SCALAR && d.in.ConsumeBool()) {
            params[row.name] = d.number(0.5);
        } else if (row.type == OSKA_PARAM_TYPE_BOOLEAN && d.in.ConsumeBool()) {
            params[row.name] = true;
        } else if ((row.flags & OSKA_PARAM_CHANNEL) != 0) {
            params[row.name] = d.in.ConsumeIntegralInRange(1, 2);
        } else if (row.role == OSKA_ROLE_DECAY) {
            params[row.name] = d.in.ConsumeIntegralInRange(0, 3);
        } else if (row.role == OSKA_ROLE_DEPTH) {
            params[row.name] = d.in.ConsumeIntegralInRange(0, 2);
        } else if (row.type == OSKA_PARAM_TYPE_COLOR && d.in.ConsumeBool()) {
            params[row.name] = d.triple(0.05, 0.05, 0.12);
        }
    }
    return params;
}

json camera(Draw &d) {
    json node = {{"position", d.triple(0, 4.4, 5)}, {"look_at", d.triple(0, 0, -0.4)}};
    if (d.in.ConsumeBool()) {
        node["up"] = d.triple(0, 1, 0);
    }
    if (d.in.ConsumeBool()) {
        node["orthographic"] = true;
        node["height"] = d.number(6);
    } else {
        node["fov"] = d.number(45);
    }
    return node;
}

json scene(Draw &d) {
    json root = {
        {"image",
         {{"width", d.in.ConsumeIntegralInRange(1, 4)},
          {"height", d.in.ConsumeIntegralInRange(1, 3)},
          {"spp", 1},
          {"light_samples", d.in.ConsumeIntegralInRange(1, 2)}}},
        {"camera", camera(d)},
        {"background", d.triple(0, 0, 0)},
        {"materials", {{"floor", {{"color", d.triple(0.85, 0.85, 0.85)}}}}},
        {"objects",
         {{{"name", "floor"},
           {"shape", "quad"},
           {"size", {d.number(10), d.number(8)}},
           {"material", "floor"}},
          emitter(d)}},
    };
    if (d.in.ConsumeIntegralInRange(0, 7) == 7) {
        root["objects"].push_back({{"name", "pawn"},
                                   {"mesh", "models/pawn.obj"},
                                   {"scale", d.number(1)},
                                   {"translate", d.triple(1, 0, 0)}});
    }
    json light = {{"name", "lamp"}, {"object", "panel"}, {"params", light_params(d)}};
    if (d.in.ConsumeBool()) {
        light["exponent"] = d.number(2);
    }
    if (d.in.ConsumeBool()) {
        light["emit_divisor"] = d.number(1);
    }
    root["lights"] = json::array({light});
    return root;
}

// The scene's text, sometimes with arrays or objects nested deep in place of
// its "about".
std::string scene_text(Draw &d) {
    json root = scene(d);
    if (d.in.ConsumeIntegralInRange(0, 7) != 7) {
        return root.dump();
    }
    static constexpr std::size_t kDepths[] = {2, 62, 63, 64, 65, 1000, 100000};
    std::size_t depth = d.in.PickValueInArray(kDepths);
    bool objects = d.in.ConsumeBool();
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

void render_scene(FuzzedDataProvider &input) {
    // The library stays loaded from one render to the next: the fuzzer
    // registers its coverage counters when it is first loaded and reads them
    // after every input, so a session's unloading must not unmap them.
    static void *const kept =
        dlopen(oska::render::default_library_path().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    (void)kept;
    Draw draw(input);
    std::string text = scene_text(draw);
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
        image = oska::render::render(session.lit(), oska::render::settings_of(loaded), nullptr);
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
