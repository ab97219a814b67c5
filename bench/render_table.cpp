// Noise at equal time, and light samples per second, for every gallery scene.
//
// For each scene of the gallery: a reference image (Sobol' points,
// `--reference` times the scene's camera samples); light samples per second
// of one render with the scene's samples, with 1 and 2 threads, for each
// sampler; then both samplers given the same time T (`--budget` times that
// of the random sampler's render on 2 threads, in passes of one camera
// sample until T is up), and the RMS error of each against the reference,
// in display values (tone-mapped, sRGB, 0 to 1: what a user sees).
//
// With `--lights`, the two ways of spreading light samples (Sobol' points
// in both): by area, every light's samples at every camera sample, against
// by bounds, `--split` light samples per camera sample; see compare_lights.
//
// Run: bin/render_table [--size WxH] [--reference N] [--budget N]
//                       [--examples DIR] [--scene NAME]... [--lights] [--split N]
// The machine's load changes every time, so compare figures of one run.
#include "error.h"
#include "image_output.h"
#include "integrator.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

using namespace oska::render;

struct Options {
    int width = 128, height = 96;
    int reference = 64; // reference samples, in multiples of the scene's
    int budget = 4;     // T, in multiples of one render with the scene's samples
    std::string examples = OSKA_EXAMPLES_DIR;
    std::string gallery = OSKA_GALLERY_DIR;
    std::vector<std::string> only; // scene names; empty: all
    bool lights = false;           // compare the light sampling, not the samplers
    int split = 1;
};

struct Run {
    Framebuffer image;
    Stats stats;
};

Run render_with(const Session &session, RenderSettings settings) {
    Run run;
    run.image = render(session.lit(), settings, &run.stats);
    return run;
}

double rms_display_error(const Framebuffer &image, const Framebuffer &reference) {
    double sum = 0;
    for (std::size_t i = 0; i < image.rgb.size(); ++i) {
        double d =
            linear_to_srgb(tone_map(image.rgb[i])) - linear_to_srgb(tone_map(reference.rgb[i]));
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(std::max<std::size_t>(1, image.rgb.size())));
}

double rate(const Stats &stats) {
    return stats.seconds > 0 ? static_cast<double>(stats.light_samples) / stats.seconds : 0;
}

// The gallery's scenes: those with an image in the gallery folder.
std::vector<std::string> scene_files(const Options &options) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(options.gallery.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
                std::string stem = name.substr(0, name.size() - 4);
                if (options.only.empty() || std::find(options.only.begin(), options.only.end(),
                                                      stem) != options.only.end()) {
                    names.push_back(stem);
                }
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Options parse(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--lights") {
            options.lights = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "render_table: %s needs a value\n", arg.c_str());
            std::exit(2);
        }
        std::string value = argv[++i];
        if (arg == "--size" &&
            std::sscanf(value.c_str(), "%dx%d", &options.width, &options.height) == 2 &&
            options.width > 0 && options.height > 0) {
            continue;
        }
        if (arg == "--reference" && (options.reference = std::atoi(value.c_str())) > 0) {
            continue;
        }
        if (arg == "--budget" && (options.budget = std::atoi(value.c_str())) > 0) {
            continue;
        }
        if (arg == "--split" && (options.split = std::atoi(value.c_str())) > 0) {
            continue;
        }
        if (arg == "--examples") {
            options.examples = value;
            continue;
        }
        if (arg == "--scene") {
            options.only.push_back(value);
            continue;
        }
        std::fprintf(stderr, "render_table: bad option %s %s\n", arg.c_str(), value.c_str());
        std::exit(2);
    }
    return options;
}

// One scene's row of the table: its reference, its speeds and both
// samplers' errors at equal time; the error ratio goes to `ratios`.
void compare(const Options &options, const std::string &name, const Scene &scene,
             const Session &session, std::vector<double> &ratios) {
    RenderSettings base;
    base.width = options.width;
    base.height = options.height;
    base.spp = scene.spp;
    base.light_samples = scene.light_samples;
    base.threads = 2;

    RenderSettings reference = base;
    reference.spp = 1;
    reference.noise_target = 1e-12; // out of reach: all the passes
    reference.max_passes = scene.spp * options.reference;
    reference.seed = 0xBE7C4u; // not the seed of the runs it judges
    Run truth = render_with(session, reference);

    // Speed with the scene's samples, one pass; the random one on 2
    // threads also gives T.
    double speed[2][2]; // [sampler][threads - 1]
    double time_budget = 0;
    for (int threads = 1; threads <= 2; ++threads) {
        for (SamplerKind kind : {SamplerKind::random, SamplerKind::sobol}) {
            RenderSettings settings = base;
            settings.threads = threads;
            settings.sampler = kind;
            Run run = render_with(session, settings);
            speed[kind == SamplerKind::sobol][threads - 1] = rate(run.stats);
            if (threads == 2 && kind == SamplerKind::random) {
                time_budget = run.stats.seconds * options.budget;
            }
        }
    }

    Run equal[2];
    for (SamplerKind kind : {SamplerKind::random, SamplerKind::sobol}) {
        RenderSettings settings = base;
        settings.spp = 1;
        settings.sampler = kind;
        settings.time_limit = time_budget;
        equal[kind == SamplerKind::sobol] = render_with(session, settings);
    }
    double error[2] = {rms_display_error(equal[0].image, truth.image),
                       rms_display_error(equal[1].image, truth.image)};
    ratios.push_back(error[0] > 0 ? error[1] / error[0] : 1);
    std::printf("| %s | %.2f | %d, %d | %.4f | %.4f | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
                name.c_str(), time_budget, equal[0].stats.passes, equal[1].stats.passes, error[0],
                error[1], ratios.back(), speed[0][0] / 1e6, speed[1][0] / 1e6, speed[0][1] / 1e6,
                speed[1][1] / 1e6);
    std::fflush(stdout);
}

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One scene's row of the light sampling table: each way renders `--budget`
// passes of the scene's samples on one thread, three times with other
// seeds; its error is brought to the processor time of the renders by area
// (error x sqrt(time / that time), the way noise falls with time), and the
// medians are compared. Processor time, not the clock: other work on the
// machine slows the clock's renders unevenly.
void compare_lights(const Options &options, const std::string &name, const Scene &scene,
                    const Session &session, std::vector<double> &ratios) {
    RenderSettings base = settings_of(scene, 1);
    base.width = options.width;
    base.height = options.height;
    base.noise_target = 1e-12; // out of reach: all the passes
    base.max_passes = options.budget;
    RenderSettings reference = base;
    reference.threads = 2;
    reference.spp = 1;
    reference.max_passes = scene.spp * options.reference;
    reference.seed = 0xBE7C4u;
    Run truth = render_with(session, reference);
    double error[2][3], seconds[2][3];
    for (uint32_t round = 0; round < 3; ++round) {
        for (int bounds = 0; bounds < 2; ++bounds) {
            RenderSettings settings = base;
            settings.seed = round;
            settings.light_sampling = bounds != 0 ? LightSampling::bounds : LightSampling::area;
            settings.light_split = options.split;
            double start = cpu_seconds();
            Run run = render_with(session, settings);
            seconds[bounds][round] = cpu_seconds() - start;
            error[bounds][round] = rms_display_error(run.image, truth.image);
        }
    }
    auto median3 = [](double *v) {
        std::sort(v, v + 3);
        return v[1];
    };
    double time_area = median3(seconds[0]), time_bounds = median3(seconds[1]);
    for (int round = 0; round < 3; ++round) {
        error[1][round] *= std::sqrt(seconds[1][round] / time_area);
        error[0][round] *= std::sqrt(seconds[0][round] / time_area);
    }
    double area = median3(error[0]), bounds = median3(error[1]);
    ratios.push_back(area > 0 ? bounds / area : 1);
    std::printf("| %s | %.2f, %.2f | %.4f | %.4f | %.2f |\n", name.c_str(), time_area, time_bounds,
                area, bounds, ratios.back());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    Options options = parse(argc, argv);
    std::printf("%dx%d, reference %dx the scene's camera samples, T %dx a render with them, "
                "2 threads unless said\n\n",
                options.width, options.height, options.reference, options.budget);
    if (options.lights) {
        std::printf("| scene | CPU s area, bounds | RMS area | RMS bounds at area's time | "
                    "bounds / area |\n|---|---|---|---|---|\n");
    } else {
        std::printf("| scene | T (s) | passes random, sobol | RMS random | RMS sobol | sobol / "
                    "random | Msamples/s random 1T | sobol 1T | random 2T | sobol 2T |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    }
    std::vector<double> ratios;
    for (const std::string &name : scene_files(options)) {
        try {
            OpenedScene opened;
            with_open_scene(SceneSource::from_file(options.examples + "/" + name + ".json"),
                            SceneRun{}, opened, [&](const Session &session) {
                                (options.lights ? compare_lights : compare)(
                                    options, name, opened.scene, session, ratios);
                            });
        } catch (const Error &e) {
            std::fprintf(stderr, "render_table: %s: %s\n", name.c_str(), e.what());
            return 1;
        }
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::size_t n = ratios.size();
        double median = n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
        std::printf("\nmedian RMS %s at equal time: %.2f\n",
                    options.lights ? "bounds / area" : "sobol / random", median);
    }
    return 0;
}
