// What sharing camera samples by error costs on an emitter of many thin
// triangles: N slivers, each across the whole image, light a backdrop. For
// each N, the same samples rendered with `adaptive` off and on, side by
// side, their ratio, and the time of the emitter outline alone (the pixels
// the slivers' edges cross and each one's window), which the adaptive render
// works out before its first pass.
//
// Run: bin/outline_bench [--size WxH] [--spp N] [--threads N] [N...]
//      (default 256x192, 4 camera samples, 1 thread, N = 1000 4000 20000)
// The machine's load changes every time, so compare figures of one run.
#include "emitter_edges.h"
#include "error.h"
#include "integrator.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"
#include "slivers.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace oska::render;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int number(const char *text) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != 0 || value < 1 || value > 1000000) {
        std::fprintf(stderr, "outline_bench: '%s' is not a count\n", text);
        std::exit(2);
    }
    return static_cast<int>(value);
}

} // namespace

int main(int argc, char **argv) {
    int width = 256, height = 192, spp = 4, threads = 1;
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width < 1 || height < 1) {
                std::fprintf(stderr, "outline_bench: --size: expected WIDTHxHEIGHT\n");
                return 2;
            }
        } else if (arg == "--spp" && i + 1 < argc) {
            spp = number(argv[++i]);
        } else if (arg == "--threads" && i + 1 < argc) {
            threads = number(argv[++i]);
        } else {
            counts.push_back(number(argv[i]));
        }
    }
    if (counts.empty()) {
        counts = {1000, 4000, 20000};
    }
    char folder[] = "/tmp/outline-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("outline_bench: mkdtemp");
        return 1;
    }
    const std::string obj = std::string(folder) + "/slivers.obj";
    std::printf("%dx%d, %d camera samples, %d thread(s)\n", width, height, spp, threads);
    std::printf("%8s %10s %10s %7s %10s\n", "slivers", "off (s)", "on (s)", "on/off",
                "outline (s)");
    int status = 0;
    for (int count : counts) {
        {
            std::ofstream out(obj, std::ios::binary);
            out << slivers::model(count);
            if (!out.flush()) {
                std::fprintf(stderr, "outline_bench: cannot write %s\n", obj.c_str());
                status = 1;
                break;
            }
        }
        OpenedScene opened;
        try {
            with_open_scene(SceneSource::from_text(slivers::scene(width, height, spp, 4).dump(),
                                                   "slivers", folder),
                            SceneRun{}, opened, [&](const Session &session) {
                                RenderSettings settings = settings_of(opened.scene, threads);
                                double took[2];
                                for (int adaptive = 0; adaptive < 2; ++adaptive) {
                                    settings.adaptive = adaptive == 1;
                                    const auto start = std::chrono::steady_clock::now();
                                    Framebuffer image =
                                        render(session.lit(), settings, nullptr, {});
                                    took[adaptive] = seconds_since(start);
                                }
                                const auto start = std::chrono::steady_clock::now();
                                EmitterOutline outline =
                                    emitter_outline(session.lit(), width, height);
                                const double alone = seconds_since(start);
                                std::printf("%8d %10.3f %10.3f %7.2f %10.3f\n", count, took[0],
                                            took[1], took[1] / took[0], alone);
                                std::fflush(stdout);
                            });
        } catch (const Error &e) {
            std::fprintf(stderr, "outline_bench: %s\n", e.what());
            status = 1;
            break;
        }
    }
    std::remove(obj.c_str());
    rmdir(folder);
    return status;
}
