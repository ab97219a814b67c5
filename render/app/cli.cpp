#include "cli.h"

#include "error.h"
#include "image_output.h"
#include "integrator.h"
#include "render_scene.h"
#include "scene.h"
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>

namespace oska::render {

namespace {

const char *const kUsage =
    "usage: oska-render [SCENE.json] [-o OUT.exr|OUT.png] [--threads N] [--spp N]\n"
    "                   [--light-samples N] [--size WxH] [--library FILE]\n"
    "                   [--allow-scene-library] [--max-image-memory MIB] [--quiet] [--verbose]\n"
    "                   [--sampler sobol|random] [--seed N] [--time SECONDS] [--noise TARGET]\n"
    "                   [--light-sampling area|bounds|choose] [--light-split N]\n"
    "                   [--adaptive on|off]\n"
    "Renders SCENE.json (without one, the built-in showcase) with direct lighting from\n"
    "oska object lights, and writes OUT (default: the scene's name with .png).\n"
    "  --library FILE         the shader library (default: the one beside oska-render)\n"
    "  --allow-scene-library  load the library a scene's \"library\" key names\n"
    "                         (code: only for scenes you trust)\n"
    "  --max-image-memory MIB the most the textures' pixels may take, in MiB\n"
    "                         (default 2048); a larger image is an error\n"
    "  --sampler KIND         sobol (scrambled Sobol' points, the default) or random\n"
    "  --seed N               another noise pattern (0 to 4294967295)\n"
    "  --time SECONDS         passes of --spp samples until the time is up\n"
    "  --noise TARGET         passes until the estimated RMS error of a pixel's display\n"
    "                         value (0 to 1) is below TARGET\n"
    "  --light-sampling HOW   area (the default: every light's samples at every camera\n"
    "                         sample, by area), bounds (fewer light samples at a time,\n"
    "                         more camera samples, each where the emitter can give most)\n"
    "                         or choose (like bounds, each sample also picking its light)\n"
    "  --light-split N        with bounds: light samples of a light per camera sample;\n"
    "                         with choose, of all lights (default 2)\n"
    "  --adaptive on|off      on (the default): after a first pass, camera samples go\n"
    "                         where a pixel's estimated error is largest; off: every\n"
    "                         pixel the same samples\n"
    "       oska-render serve SCENE.json [--port N] [--threads N] [--library FILE]\n"
    "                         [--allow-scene-library] [--max-image-memory MIB]\n"
    "Serves a page on 127.0.0.1 for tuning the scene's lights live.\n";

struct Arguments : SceneArguments { // no scene: the showcase
    std::string output;
    int spp = 0, light_samples = 0, width = 0, height = 0;
    bool quiet = false, verbose = false, help = false;
    SamplerKind sampler = SamplerKind::sobol;
    LightSampling light_sampling = RenderSettings{}.light_sampling;
    int light_split = 0;
    bool adaptive = RenderSettings{}.adaptive;
    uint32_t seed = 0;
    double time_limit = 0, noise_target = 0;
};

// `text` as a whole number from `low` to `high`, or a Usage naming `option`.
long long whole_number(const std::string &option, const std::string &text, long long low,
                       long long high) {
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
        throw Usage{option + ": expected a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", got '" + text + "'"};
    }
    return value;
}

// A positive amount, finite and at most `high`.
double parse_amount(const std::string &option, const std::string &text, double high) {
    errno = 0;
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(value > 0) || !(value <= high)) {
        throw Usage{option + ": expected a number above 0 and at most " + std::to_string(high) +
                    ", got '" + text + "'"};
    }
    return value;
}

// The place of `text` among `names`; a usage error naming them otherwise.
std::size_t choice(const std::string &option, const std::string &text,
                   std::initializer_list<const char *> names) {
    std::string expected;
    std::size_t i = 0;
    for (const char *name : names) {
        if (text == name) {
            return i;
        }
        expected += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + std::string(name);
        ++i;
    }
    throw Usage{option + ": expected " + expected + ", got '" + text + "'"};
}

Arguments parse(int argc, const char *const *argv) {
    Arguments args;
    for_each_word(argc, argv, [&](const std::string &arg, const Value &value) {
        if (arg == "-o" || arg == "--output") {
            args.output = value();
        } else if (arg == "--spp") {
            args.spp = parse_whole_number(arg, value(), 1, kMostCameraSamples);
        } else if (arg == "--light-samples") {
            args.light_samples = parse_whole_number(arg, value(), 1, kMostLightSamples);
        } else if (arg == "--size") {
            std::string size = value();
            auto x = size.find('x');
            if (x == std::string::npos) {
                throw Usage{"--size: expected WIDTHxHEIGHT, got '" + size + "'"};
            }
            args.width = parse_whole_number("--size", size.substr(0, x), 1, kMostPixelsOnASide);
            args.height = parse_whole_number("--size", size.substr(x + 1), 1, kMostPixelsOnASide);
        } else if (arg == "--sampler") {
            args.sampler = choice(arg, value(), {"sobol", "random"}) == 1 ? SamplerKind::random
                                                                          : SamplerKind::sobol;
        } else if (arg == "--light-sampling") {
            constexpr LightSampling kWays[] = {LightSampling::area, LightSampling::bounds,
                                               LightSampling::choose};
            args.light_sampling = kWays[choice(arg, value(), {"area", "bounds", "choose"})];
        } else if (arg == "--light-split") {
            args.light_split = parse_whole_number(arg, value(), 1, kMostLightSamples);
        } else if (arg == "--adaptive") {
            args.adaptive = choice(arg, value(), {"on", "off"}) == 0;
        } else if (arg == "--seed") {
            args.seed = static_cast<uint32_t>(whole_number(arg, value(), 0, UINT32_MAX));
        } else if (arg == "--time") {
            args.time_limit = parse_amount(arg, value(), 1e6);
        } else if (arg == "--noise") {
            args.noise_target = parse_amount(arg, value(), 1e6);
        } else if (arg == "--quiet" || arg == "-q") {
            args.quiet = true;
        } else if (arg == "--verbose" || arg == "-v") {
            args.verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            args.help = true;
        } else {
            args.take(arg, value);
        }
    });
    if (args.output.empty()) {
        std::string stem = args.scene.empty() ? "showcase" : args.scene;
        stem.erase(0, stem.rfind('/') + 1); // the folder, if any (npos + 1 is 0)
        if (auto dot = stem.rfind('.'); dot != std::string::npos && dot > 0) {
            stem.erase(dot);
        }
        args.output = stem + ".png";
    }
    return args;
}

// 1234567 as "1,234,567".
std::string grouped(long value) {
    std::string out = std::to_string(value);
    // From the last three digits back; never between a minus sign and a digit.
    for (int at = static_cast<int>(out.size()) - 3; at > (value < 0 ? 1 : 0); at -= 3) {
        out.insert(static_cast<std::size_t>(at), ",");
    }
    return out;
}

std::string rate(double per_second) {
    char text[32];
    if (per_second >= 1e6) {
        std::snprintf(text, sizeof text, "%.2fM", per_second / 1e6);
    } else if (per_second >= 1e3) {
        std::snprintf(text, sizeof text, "%.1fk", per_second / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f", per_second);
    }
    return text;
}

void draw_progress(std::ostream &err, double time_limit, double noise_target, const Progress &p) {
    constexpr int kWidth = 30;
    double done = p.rows > 0 ? static_cast<double>(p.rows_done) / p.rows : 1.0;
    double per_second = p.seconds > 0 ? static_cast<double>(p.light_samples) / p.seconds : 0;
    auto bar = [&] {
        int filled = static_cast<int>(done * kWidth);
        return std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kWidth - filled), '-');
    };
    char line[200];
    if (time_limit > 0 || noise_target > 0) {
        // Passes until a target: the bar fills with the time, and the
        // estimated error says how far the noise has come down.
        if (time_limit > 0) {
            done = std::min(1.0, p.seconds / time_limit);
        }
        char noise[48] = "error: after 2 passes";
        if (p.noise >= 0) {
            std::snprintf(noise, sizeof noise, "error %.4f", p.noise);
        }
        std::snprintf(line, sizeof line, "\r[%s] pass %d  %s  %s light samples/s  %.0f s   ",
                      bar().c_str(), p.pass + 1, noise, rate(per_second).c_str(), p.seconds);
    } else {
        double left = done > 0 ? p.seconds * (1 - done) / done : 0;
        std::snprintf(line, sizeof line, "\r[%s] %3.0f%%  %s light samples/s  %.0f s left   ",
                      bar().c_str(), done * 100, rate(per_second).c_str(), left);
    }
    err << line << std::flush;
}

void summarise(std::ostream &err, const Scene &scene, const RenderSettings &settings,
               const Stats &stats, const std::string &output) {
    err << "oska-render: " << printable(scene.file) << ", " << settings.width << "x"
        << settings.height << ", " << settings.spp << " spp, " << settings.light_samples
        << " light samples, " << (settings.sampler == SamplerKind::random ? "random" : "sobol")
        << " sampler, " << settings.threads << (settings.threads == 1 ? " thread\n" : " threads\n");
    err << "  light samples " << grouped(stats.light_samples) << " (" << grouped(stats.facing_away)
        << " behind the receiving surface), shader calls " << grouped(stats.shader_calls)
        << ", shadow rays " << grouped(stats.shadow_rays) << "\n";
    err << "  rejected by the light shader " << grouped(stats.rejected)
        << ", answers not finite (dropped) " << grouped(stats.dropped);
    if (stats.passes > 1) {
        char passes[96];
        std::snprintf(passes, sizeof passes, ", %d passes, estimated error %.4f", stats.passes,
                      stats.noise);
        err << passes;
    }
    char time[96];
    std::snprintf(
        time, sizeof time, "\n  %.2f s, %s light samples/s -> ", stats.seconds,
        rate(stats.seconds > 0 ? static_cast<double>(stats.light_samples) / stats.seconds : 0)
            .c_str());
    err << time << printable(output) << "\n";
}

// How the command line loads and renders: the output checked before the
// session opens, the options over the scene's settings, the library's
// messages and the progress bar on `err`.
SceneRun scene_run(const Arguments &args, std::ostream &err, bool bar) {
    SceneRun run;
    run.load = args.load_options();
    run.loaded = [&args](const Scene &scene) { check_output(args.output, scene.inputs); };
    run.adjust = [&args](RenderSettings &settings) {
        settings.threads = args.thread_count();
        settings.width = args.width > 0 ? args.width : settings.width;
        settings.height = args.height > 0 ? args.height : settings.height;
        settings.spp = args.spp > 0 ? args.spp : settings.spp;
        settings.light_samples =
            args.light_samples > 0 ? args.light_samples : settings.light_samples;
        settings.sampler = args.sampler;
        settings.light_sampling = args.light_sampling;
        settings.light_split = args.light_split > 0 ? args.light_split : settings.light_split;
        settings.adaptive = args.adaptive;
        settings.seed = args.seed;
        settings.time_limit = args.time_limit;
        settings.noise_target = args.noise_target;
    };
    run.session.verbose = args.verbose;
    run.session.report = [&err, &args](const std::string &line) {
        if (!args.quiet) {
            err << printable(line) << "\n";
        }
    };
    run.progress = [&err, &args, bar](const Progress &p) {
        if (bar) {
            draw_progress(err, args.time_limit, args.noise_target, p);
        }
    };
    run.rendered = [&err, bar] {
        if (bar) {
            err << "\n";
        }
    };
    return run;
}

} // namespace

int parse_whole_number(const std::string &option, const std::string &text, long low, long high) {
    return static_cast<int>(whole_number(option, text, low, high));
}

void for_each_word(int argc, const char *const *argv,
                   const std::function<void(const std::string &, const Value &)> &take) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        take(word, [&]() -> std::string {
            if (i + 1 >= argc) {
                throw Usage{word + ": needs a value"};
            }
            return argv[++i];
        });
    }
}

void SceneArguments::take(const std::string &word, const Value &value) {
    if (word == "--threads") {
        threads = parse_whole_number(word, value(), 1, 256);
    } else if (word == "--library") {
        library = value();
    } else if (word == kAllowSceneLibraryOption) {
        allow_scene_library = true;
    } else if (word == "--max-image-memory") {
        max_image_mib = parse_whole_number(word, value(), 1, 1 << 20);
    } else if (!word.empty() && word[0] == '-') {
        throw Usage{"unknown option '" + word + "'"};
    } else if (scene.empty()) {
        scene = word;
    } else {
        throw Usage{"one scene at a time ('" + scene + "' and '" + word + "')"};
    }
}

LoadOptions SceneArguments::load_options() const {
    LoadOptions load;
    load.library = library;
    load.allow_scene_library = allow_scene_library;
    load.max_image_bytes = static_cast<std::uint64_t>(max_image_mib) << 20;
    return load;
}

int SceneArguments::thread_count() const {
    return threads > 0 ? threads
                       : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int run_cli(int argc, const char *const *argv, std::ostream &err, std::ostream &out) {
    Arguments args;
    try {
        args = parse(argc, argv);
    } catch (const Usage &usage) {
        err << "oska-render: " << printable(usage.what) << "\n" << kUsage;
        return 2;
    }
    if (args.help) {
        out << kUsage << std::flush;
        return out ? 0 : 1;
    }
    try {
        bool bar = !args.quiet && &err == &std::cerr && isatty(STDERR_FILENO);
        SceneRun run = scene_run(args, err, bar);
        RenderedScene rendered;
        render_scene(args.scene.empty() ? SceneSource::from_text(kShowcaseScene, "showcase", ".")
                                        : SceneSource::from_file(args.scene),
                     run, rendered);
        write_image(args.output, rendered.image, rendered.scene.inputs);
        if (!args.quiet) {
            summarise(err, rendered.scene, rendered.settings, rendered.stats, args.output);
        }
        return 0;
    } catch (const std::exception &e) { // Error, and what the libraries throw
        err << "oska-render: " << printable(e.what()) << "\n";
        return 1;
    }
}

} // namespace oska::render
