// oska-render's side of the comparison with another path tracer
// (bench/peer_compare.py drives both).
//
//   peer_bench export SCENE.json OUT.json
//     the scene's camera and its triangles in world space, object by object,
//     with each object's albedo and area, for the other renderer to build
//     the same scene from;
//   peer_bench mask SCENE.json OUT.raw WxH
//     1 for each pixel where a camera ray on a 4x4 grid over the pixel meets
//     an emitting object, else 0, as 32-bit floats;
//   peer_bench render SCENE.json OUT.raw SPP LIGHT_SAMPLES SEED [WxH] [WAYS]
//     one render on one thread: the image as 32-bit floats, RGB, rows from
//     the top, and on stdout "cpu SECONDS", the processor time of the render
//     alone (not of loading the scene or building its geometry). WAYS: see
//     choose_sampling(); without, the earlier sampling (by area, evenly).
#include "error.h"
#include "files.h"
#include "integrator.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

namespace {

using namespace oska::render;

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void vec(std::ostringstream &out, Vec3 v) { out << '[' << v.x << ',' << v.y << ',' << v.z << ']'; }

float mesh_area(const Mesh &mesh) {
    float area = 0;
    for (std::size_t t = 0; t + 2 < mesh.indices.size(); t += 3) {
        Vec3 a = mesh.positions[mesh.indices[t]];
        area += 0.5f * length(cross(mesh.positions[mesh.indices[t + 1]] - a,
                                    mesh.positions[mesh.indices[t + 2]] - a));
    }
    return area;
}

void write_object(std::ostringstream &out, const Scene &scene, const ObjectDesc &object) {
    Vec3 albedo{0.75f, 0.75f, 0.75f};
    if (object.material >= 0) {
        albedo = scene.materials[static_cast<std::size_t>(object.material)].color;
    }
    out << "{\"name\":\"" << object.name << "\",\"albedo\":";
    vec(out, albedo);
    out << ",\"area\":" << mesh_area(object.mesh) << ",\"positions\":[";
    const char *comma = "";
    for (Vec3 p : object.mesh.positions) {
        out << comma << p.x << ',' << p.y << ',' << p.z;
        comma = ",";
    }
    out << "],\"normals\":[";
    comma = "";
    for (Vec3 n : object.mesh.normals) {
        out << comma << n.x << ',' << n.y << ',' << n.z;
        comma = ",";
    }
    out << "],\"indices\":[";
    comma = "";
    for (uint32_t i : object.mesh.indices) {
        out << comma << i;
        comma = ",";
    }
    out << "]}";
}

int export_scene(const std::string &scene_file, const std::string &out_file) {
    Scene scene = load_scene(SceneSource::from_file(scene_file), LoadOptions{});
    std::ostringstream out;
    out.precision(9);
    const Camera &camera = scene.camera;
    out << "{\"width\":" << scene.width << ",\"height\":" << scene.height
        << ",\"camera\":{\"position\":";
    vec(out, camera.position);
    out << ",\"look_at\":";
    vec(out, camera.look_at);
    out << ",\"up\":";
    vec(out, camera.up);
    out << ",\"fov\":" << camera.fov << ",\"orthographic\":" << (camera.orthographic ? 1 : 0)
        << ",\"height\":" << camera.height << "},\"objects\":[";
    for (std::size_t i = 0; i < scene.objects.size(); ++i) {
        out << (i > 0 ? ",\n" : "\n");
        write_object(out, scene, scene.objects[i]);
    }
    out << "]}\n";
    std::string text = out.str();
    replace_file(out_file, text.data(), text.size(), "scene");
    return 0;
}

// A render's way of sampling from its words, joined by commas: "default"
// (oska-render's own), "area" (the earlier: every light's samples at every
// camera sample, by area), "bounds:N" or "choose:N" (N light samples a
// camera sample, of each light or of all), "adaptive" (camera samples shared
// by each pixel's error). Without "default", by area and evenly unless the
// words say otherwise.
void choose_sampling(const std::string &words, RenderSettings &settings) {
    if (words == "default") {
        return;
    }
    settings.light_sampling = LightSampling::area;
    settings.adaptive = false;
    std::size_t start = 0;
    while (start <= words.size()) {
        std::size_t end = std::min(words.find(',', start), words.size());
        const std::string word = words.substr(start, end - start);
        if (std::sscanf(word.c_str(), "bounds:%d", &settings.light_split) == 1) {
            settings.light_sampling = LightSampling::bounds;
        } else if (std::sscanf(word.c_str(), "choose:%d", &settings.light_split) == 1) {
            settings.light_sampling = LightSampling::choose;
        } else if (word == "adaptive") {
            settings.adaptive = true;
        } else if (word != "area") {
            throw Error("unknown way of sampling '" + word + "'");
        }
        start = end + 1;
    }
}

int render_raw(int argc, char **argv) {
    SceneRun run;
    double start = 0, spent = 0;
    run.adjust = [&](RenderSettings &settings) {
        settings.spp = std::atoi(argv[4]);
        settings.light_samples = std::atoi(argv[5]);
        settings.seed = static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 10));
        settings.threads = 1;
        if (argc > 7) {
            std::sscanf(argv[7], "%dx%d", &settings.width, &settings.height);
        }
        if (argc > 8) {
            choose_sampling(argv[8], settings);
        } else {
            settings.light_sampling = LightSampling::area;
            settings.adaptive = false;
        }
        start = cpu_seconds();
    };
    run.rendered = [&] { spent = cpu_seconds() - start; };
    RenderedScene rendered;
    render_scene(SceneSource::from_file(argv[2]), run, rendered);
    const std::vector<float> &rgb = rendered.image.rgb;
    replace_file(argv[3], rgb.data(), rgb.size() * sizeof(float), "image");
    std::printf("cpu %.6f\n", spent);
    return 0;
}

int emitter_mask(char **argv) {
    int width = 0, height = 0;
    if (std::sscanf(argv[4], "%dx%d", &width, &height) != 2 || width < 1 || height < 1) {
        throw Error(std::string("bad size ") + argv[4]);
    }
    std::vector<float> mask(static_cast<std::size_t>(width) * height, 0.0f);
    OpenedScene opened;
    with_open_scene(SceneSource::from_file(argv[2]), SceneRun{}, opened, [&](const Session &s) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                for (int k = 0; k < 16; ++k) {
                    Ray ray =
                        camera_ray(s.lit().scene->camera, width, height,
                                   static_cast<float>(x) + (static_cast<float>(k % 4) + 0.5f) / 4,
                                   static_cast<float>(y) + (static_cast<float>(k / 4) + 0.5f) / 4);
                    Hit hit = s.lit().geometry->intersect(ray.origin, ray.direction);
                    if (hit.object >= 0 && !s.lit().lights_of(hit.object).empty()) {
                        mask[static_cast<std::size_t>(y) * width + x] = 1;
                    }
                }
            }
        }
    });
    replace_file(argv[3], mask.data(), mask.size() * sizeof(float), "mask");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "export" && argc == 4) {
            return export_scene(argv[2], argv[3]);
        }
        if (mode == "mask" && argc == 5) {
            return emitter_mask(argv);
        }
        if (mode == "render" && argc >= 7 && argc <= 9) {
            return render_raw(argc, argv);
        }
    } catch (const Error &e) {
        std::fprintf(stderr, "peer_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: peer_bench export SCENE.json OUT.json\n"
                         "       peer_bench mask SCENE.json OUT.raw WxH\n"
                         "       peer_bench render SCENE.json OUT.raw SPP LIGHT_SAMPLES SEED "
                         "[WxH] [WAYS]\n");
    return 2;
}
