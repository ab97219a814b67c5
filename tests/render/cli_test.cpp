// The command line: writes EXR and PNG images, says what it did, and on bad
// input fails with one line and a non-zero status, leaving no file behind.
#include "image_output.h"
#include "render_test.h"

#include <OpenImageIO/imageio.h>

#include <sstream>

namespace oska::render::test {
namespace {

struct CliRun {
    int status;
    std::string err;
};

CliRun run(std::vector<std::string> args) {
    args.insert(args.begin(), "oska-render");
    std::vector<const char *> argv;
    for (const std::string &arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream err;
    int status = run_cli(static_cast<int>(argv.size()), argv.data(), err);
    return {status, err.str()};
}

std::string tiny_scene(const TempDir &dir) {
    json scene = floor_scene({{"color", {1, 1, 1, 1}}, {"shadows", true}, {"max_level", 1}});
    scene["image"] = {{"width", 24}, {"height", 16}, {"spp", 1}, {"light_samples", 2}};
    return dir.write("tiny.json", scene.dump());
}

TEST(Cli, WritesFloatExrAndDisplayPng) {
    TempDir dir;
    std::string scene = tiny_scene(dir);
    for (const char *name : {"out.exr", "out.png"}) {
        CliRun r = run({scene, "-o", dir.file(name), "--threads", "2"});
        EXPECT_EQ(r.status, 0) << r.err;
        auto in = OIIO::ImageInput::open(dir.file(name));
        ASSERT_TRUE(in) << name;
        const OIIO::ImageSpec layout = in->spec_dimensions(0);
        EXPECT_EQ(layout.width, 24);
        EXPECT_EQ(layout.height, 16);
        EXPECT_EQ(layout.format == OIIO::TypeDesc::FLOAT, std::string(name) == "out.exr");
        // The summary: counts and time.
        EXPECT_NE(r.err.find("shader calls"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("shadow rays"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("light samples/s"), std::string::npos) << r.err;
    }
    EXPECT_EQ(dir.list().size(), 3u); // the scene and the two images
}

TEST(Cli, TimeOrNoiseTargetRendersPassesAndReportsTheEstimate) {
    TempDir dir;
    std::string scene = tiny_scene(dir);
    const std::vector<std::string> cases[] = {
        {"--time", "0.3", "--sampler", "random"},
        {"--noise", "0.02", "--seed", "12"},
        {"--noise", "0.02", "--adaptive", "off"},
    };
    for (const auto &options : cases) {
        std::vector<std::string> args = {scene, "-o", dir.file("out.png")};
        args.insert(args.end(), options.begin(), options.end());
        CliRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(" passes, estimated error 0."), std::string::npos) << r.err;
    }
}

TEST(Cli, QuietSaysNothing) {
    TempDir dir;
    CliRun r = run({tiny_scene(dir), "-o", dir.file("out.png"), "--quiet"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// Status 2 and a line that holds every fragment.
void expect_usage_error(const std::vector<std::string> &args,
                        std::initializer_list<std::string> fragments) {
    const CliRun r = run(args);
    EXPECT_EQ(r.status, 2);
    for (const std::string &fragment : fragments) {
        EXPECT_NE(r.err.find(fragment), std::string::npos) << fragment << " in: " << r.err;
    }
}

TEST(Cli, BadCountsAreUsageErrors) {
    // A value an option cannot take: the line names the option, what it
    // takes and the value it got.
    const struct {
        const char *option;
        const char *takes;
        std::vector<const char *> values;
    } bad_values[] = {
        {"--spp", "a whole number from 1", {"nan", "0"}},
        {"--threads", "a whole number from 1", {"-2"}},
        {"--light-samples", "a whole number from 1", {"1.5"}},
        {"--size", "WIDTHxHEIGHT", {"32"}},
        {"--sampler", "sobol or random", {"halton"}},
        {"--light-sampling", "area, bounds or choose", {"power"}},
        {"--light-split", "a whole number from 1", {"0"}},
        {"--adaptive", "on or off", {"yes"}},
        {"--seed", "a whole number from 0", {"-1", "4294967296"}},
        {"--time", "a number above 0", {"0", "inf"}},
        {"--noise", "a number above 0", {"nan", "-0.1"}},
    };
    for (const auto &c : bad_values) {
        for (const char *value : c.values) {
            SCOPED_TRACE(std::string(c.option) + " " + value);
            expect_usage_error({c.option, value}, {std::string(c.option) + ": expected " + c.takes,
                                                   std::string(", got '") + value + "'"});
        }
    }
    // A size's bad part, an unknown option, an option without its value.
    expect_usage_error({"--size", "32x-1"}, {"--size: expected a whole number from 1", "'-1'"});
    expect_usage_error({"--frobnicate"}, {"unknown option '--frobnicate'"});
    expect_usage_error({"--spp"}, {"--spp: needs a value"});
}

TEST(Cli, FailureLeavesNoOutputFile) {
    TempDir dir;
    json bad = floor_scene({{"color", "white"}});
    std::string scene = dir.write("bad.json", bad.dump());
    const struct {
        std::vector<std::string> args;
        const char *fragment;
    } cases[] = {
        {{scene, "-o", dir.file("a.png")}, "bad.json: lights[0] 'lamp'"},
        {{tiny_scene(dir), "-o", dir.file("none/a.png")}, "does not exist"},
        {{tiny_scene(dir), "-o", dir.file("a.xyz")}, "cannot write .xyz images"},
        {{dir.file("absent.json"), "-o", dir.file("a.png")}, "absent.json: no such file"},
    };
    for (const auto &c : cases) {
        CliRun r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    std::vector<std::string> files = dir.list();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"bad.json", "tiny.json"}));
}

TEST(ImageOutput, DisplayValuesRollOffAndEncodeAsSrgb) {
    EXPECT_EQ(display_value(0.0f), 0);
    EXPECT_EQ(display_value(-1.0f), 0);
    EXPECT_EQ(display_value(std::nanf("")), 0);
    EXPECT_EQ(display_value(1000.0f), 255);
    EXPECT_EQ(display_value(0.5f), 188); // sRGB of 0.5, below the knee
    EXPECT_FLOAT_EQ(tone_map(0.8f), 0.8f);
    // Monotonic and below 1 past the knee.
    float previous = 0;
    for (float v = 0.01f; v < 4; v *= 1.3f) {
        float mapped = tone_map(v);
        EXPECT_GT(mapped, previous);
        EXPECT_LT(mapped, 1.0f);
        previous = mapped;
    }
}

} // namespace
} // namespace oska::render::test
