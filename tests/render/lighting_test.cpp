// Rendered light follows the light shader's laws: the decays against
// distance, shadows in the shadow colour, one-sided emission, the
// brightness threshold, textured light; the emitter shows its own
// brightness; the image does not depend on the thread count; the library is
// driven through its calling protocol and leaves nothing allocated, and no
// worker thread outlives the session.
#include "render_test.h"

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace oska::render::test {
namespace {

constexpr double kFourPi = 12.566371;

// The middle row of a floor_scene render.
float row_value(const Outcome &outcome, int px, int channel = 0) {
    Vec3 pixel = outcome.image.at(px, 1);
    return channel == 0 ? pixel.x : (channel == 1 ? pixel.y : pixel.z);
}

// A tiny emitter 1 above a white floor: each pixel is colour x decay(d) x
// cos(receiver), where d is the distance to the emitter and the receiver
// cosine is 1 / d. The expected decay factor comes from the light's law.
TEST(Lighting, BrightnessAgainstDistanceFollowsEachDecayLaw) {
    const struct {
        const char *law;
        json params;
        std::function<double(double)> factor; // of the distance d (emission cosine 1/d)
    } laws[] = {
        {"no decay", {{"color", {0.5, 0.5, 0.5, 1}}}, [](double) { return 0.5; }},
        {"linear range",
         {{"color", {1, 1, 1, 1}}, {"decay", 1}, {"decay_start", 1.2}, {"decay_end", 2.2}},
         [](double d) { return d <= 1.2 ? 1.0 : (d >= 2.2 ? 0.0 : 1 - (d - 1.2) / 1.0); }},
        {"inverse power",
         {{"color", {1, 1, 1, 1}}, {"decay", 2}, {"decay_start", 0}, {"decay_end", 100}},
         [](double d) { return 1 / (d * d); }},
        {"physical",
         {{"color", {1, 1, 1, 100}}, {"decay", 3}},
         [](double d) { return 100 * (1 / d) / (d * d * kFourPi); }},
    };
    // Whichever numbers the samples come from, the light is the same.
    for (SamplerKind sampler : {SamplerKind::sobol, SamplerKind::random}) {
        for (const auto &law : laws) {
            SCOPED_TRACE(std::string(law.law) +
                         (sampler == SamplerKind::sobol ? " (sobol)" : " (random)"));
            Outcome outcome = render_json(floor_scene(law.params, 1, 0.004f), 1, ".", {},
                                          Sampling{sampler, 0, 0, 1});
            if (!outcome.error.empty()) {
                ADD_FAILURE() << outcome.error;
                continue;
            }
            for (int px = 0; px < 64; px += 3) {
                double x = floor_x(px), d = std::sqrt(x * x + 1);
                double expected = law.factor(d) * (1 / d);
                double got = row_value(outcome, px);
                EXPECT_NEAR(got, expected, 0.02 * expected + 1e-4) << "x " << x;
            }
        }
    }
}

TEST(Lighting, BlockerCastsAShadowInTheShadowColour) {
    // The emitter at x = 0 shines past a small blocker at x = 1, half-way
    // down, onto the floor around x = 2.
    auto scene_with = [](bool shadows) {
        json scene = floor_scene({{"color", {1, 1, 1, 1}},
                                  {"shadows", shadows},
                                  {"max_level", 2},
                                  {"shadow_color", {0.5, 0.25, 0.1}}},
                                 1, 0.02f, 1.5f, 2.5f);
        scene["objects"].push_back({{"name", "blocker"},
                                    {"shape", "quad"},
                                    {"size", {0.2, 0.2}},
                                    {"translate", {1, 0.5, 0}}});
        return scene;
    };
    Outcome lit = render_json(scene_with(false));
    Outcome shadowed = render_json(scene_with(true));
    ASSERT_EQ(lit.error, "");
    ASSERT_EQ(shadowed.error, "");
    EXPECT_GT(shadowed.stats.shadow_rays, 0);
    const float shadow_color[3] = {0.5f, 0.25f, 0.1f};
    for (int px = 0; px < 64; ++px) {
        float x = floor_x(px, 1.5f, 2.5f);
        for (int c = 0; c < 3; ++c) {
            float ratio = row_value(shadowed, px, c) / row_value(lit, px, c);
            if (x > 1.85f && x < 2.15f) { // the umbra
                EXPECT_NEAR(ratio, shadow_color[c], 1e-4) << "x " << x;
            } else if (x < 1.7f || x > 2.3f) { // in the open
                EXPECT_NEAR(ratio, 1.0f, 1e-4) << "x " << x;
            }
        }
    }
}

TEST(Lighting, DirectionalLightIsBlackBehindItsSurface) {
    auto scene_with = [](bool directional) {
        json scene = floor_scene(
            {{"color", {1, 1, 1, 1}}, {"directional", directional}, {"cutoff", 0.0}}, 1, 0.3f);
        scene["objects"][1]["rotate"] = {0, 0, -90}; // faces +X
        return scene;
    };
    Outcome one_sided = render_json(scene_with(true));
    Outcome both_sided = render_json(scene_with(false));
    ASSERT_EQ(one_sided.error, "");
    for (int px = 0; px < 64; ++px) {
        float x = floor_x(px);
        if (x < -0.2f) {
            EXPECT_EQ(row_value(one_sided, px), 0.0f) << "x " << x;
            EXPECT_GT(row_value(both_sided, px), 0.0f) << "x " << x;
        } else if (x > 0.2f) {
            EXPECT_GT(row_value(one_sided, px), 0.0f) << "x " << x;
        }
    }
    EXPECT_GT(one_sided.stats.rejected, 0);
    EXPECT_EQ(both_sided.stats.rejected, 0);
}

TEST(Lighting, ThresholdCutsDimSamples) {
    // Inverse square from 1 above: 1 / d^2 falls below 0.4 beyond d = 1.58.
    auto scene_with = [](double threshold) {
        return floor_scene(
            {{"color", {1, 1, 1, 1}}, {"decay", 2}, {"decay_end", 100}, {"threshold", threshold}});
    };
    Outcome cut = render_json(scene_with(0.4));
    Outcome full = render_json(scene_with(0.0));
    ASSERT_EQ(cut.error, "");
    for (int px = 0; px < 64; ++px) {
        float x = floor_x(px);
        double d = std::sqrt(x * x + 1.0);
        if (d > 1.62) {
            EXPECT_EQ(row_value(cut, px), 0.0f) << "x " << x;
            EXPECT_GT(row_value(full, px), 0.0f) << "x " << x;
        } else if (d < 1.54) {
            EXPECT_EQ(row_value(cut, px), row_value(full, px)) << "x " << x;
        }
    }
    EXPECT_GT(cut.stats.rejected, 0);
    EXPECT_EQ(full.stats.rejected, 0);
}

TEST(Lighting, TextureOnTheEmitterTintsTheLight) {
    // A 4x4 texture, pure green, in each format: 8-bit sRGB 255 and float
    // 1.0 are both linear 1.
    TempDir dir;
    Outcome plain = render_json(floor_scene({{"color", {1, 1, 1, 1}}}, 1, 0.2f));
    for (const char *file : {"green.png", "green.tif", "green.exr"}) {
        SCOPED_TRACE(file);
        std::vector<float> texels(4 * 4 * 3, 0.0f);
        for (std::size_t i = 1; i < texels.size(); i += 3) {
            texels[i] = 1.0f;
        }
        bool floats = std::string(file) == "green.exr";
        auto out = OIIO::ImageOutput::create(dir.file(file));
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->open(
            dir.file(file),
            OIIO::ImageSpec(4, 4, 3, floats ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8)));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, texels.data()));
        out->close();

        json scene = floor_scene(
            {{"color", {1, 1, 1, 1}}, {"use_texture", true}, {"texture", "green"}}, 1, 0.2f);
        scene["textures"] = {{"green", file}};
        Outcome outcome = render_json(scene, 1, dir.path());
        ASSERT_EQ(outcome.error, "");
        for (int px = 0; px < 64; px += 5) {
            if (std::fabs(floor_x(px)) < 0.15f) {
                continue; // the emitter itself
            }
            EXPECT_EQ(row_value(outcome, px, 0), 0.0f);
            EXPECT_EQ(row_value(outcome, px, 2), 0.0f);
            EXPECT_NEAR(row_value(outcome, px, 1), row_value(plain, px, 1),
                        1e-3 * row_value(plain, px, 1));
        }
    }
}

TEST(Lighting, VertexColoursColourTheLight) {
    json scene = floor_scene({{"color", {1, 1, 1, 1}},
                              {"use_vertex_color", true},
                              {"vc_color", true},
                              {"vc_color_channel", 1}},
                             1, 0.2f);
    scene["objects"][1]["channels"] = {{"1", {0.25, 0.5, 1}}};
    Outcome outcome = render_json(scene);
    ASSERT_EQ(outcome.error, "");
    Vec3 pixel = outcome.image.at(20, 1);
    EXPECT_NEAR(pixel.x / pixel.z, 0.25f, 1e-4);
    EXPECT_NEAR(pixel.y / pixel.z, 0.5f, 1e-4);
}

TEST(Lighting, CameraSeesTheEmittersOwnBrightness) {
    // Looking straight at a large emitter: the shader's eye-ray answer, the
    // colour as given, divided by emit_divisor for a physical light.
    const struct {
        json params;
        double divisor;
        Vec3 expected;
    } cases[] = {
        {{{"color", {1, 0.5, 0.25, 3}}}, 1, {1, 0.5f, 0.25f}},
        {{{"color", {1, 0.5, 0.25, 3}}, {"decay", 3}}, 2, {0.5f, 0.25f, 0.125f}},
    };
    for (const auto &c : cases) {
        json scene = floor_scene(c.params, 1, 3.0f);
        scene["lights"][0]["emit_divisor"] = c.divisor;
        Outcome outcome = render_json(scene);
        if (!outcome.error.empty()) {
            ADD_FAILURE() << "divisor " << c.divisor << ": " << outcome.error;
            continue;
        }
        Vec3 pixel = outcome.image.at(32, 1);
        EXPECT_NEAR(pixel.x, c.expected.x, 1e-6);
        EXPECT_NEAR(pixel.y, c.expected.y, 1e-6);
        EXPECT_NEAR(pixel.z, c.expected.z, 1e-6);
    }
}

// A lamp much smaller than a pixel, bright, beside a large light close to
// the floor whose light is noisy: a few camera samples spread over the pixel
// would miss the lamp, but shared by error they are drawn where its outline
// is, and the pixel comes out as with thousands of samples spread evenly.
TEST(Lighting, LampSmallerThanAPixelIsFound) {
    json scene = floor_scene({{"color", {100, 100, 100, 1}}, {"decay", 3}}, 1, 0.005f);
    scene["objects"][0]["color"] = {0.01, 0.01, 0.01}; // a dark floor
    // Within pixel 32 of the middle row, which spans 0.0625 units.
    scene["objects"][1]["translate"] = {0.03, 1, 0};
    scene["objects"].push_back({{"name", "panel 2"},
                                {"shape", "quad"},
                                {"size", {1.5, 1.5}},
                                {"rotate", {180, 0, 0}},
                                {"translate", {-1.2, 0.2, 0}}});
    scene["lights"].push_back({{"name", "large"},
                               {"object", "panel 2"},
                               {"params", {{"color", {1, 1, 1, 1}}, {"decay", 3}}}});
    scene["image"]["spp"] = 4096;
    Outcome even = render_json(
        scene, 2, ".", {}, Sampling{SamplerKind::sobol, 0, 0, 1, LightSampling::bounds, 2, false});
    ASSERT_EQ(even.error, "");
    const float expected = even.image.at(32, 1).x;
    // The lamp's light is most of the pixel's: 100 times its part of it.
    EXPECT_GT(expected, 0.5f);
    EXPECT_LT(even.image.at(31, 1).x, 0.2f * expected);
    scene["image"]["spp"] = 8;
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        Outcome shared = render_json(scene, 1, ".", {}, Sampling{SamplerKind::sobol, seed});
        ASSERT_EQ(shared.error, "");
        EXPECT_NEAR(shared.image.at(32, 1).x, expected, 0.25f * expected);
    }
}

TEST(Lighting, ImageIsTheSameForOneAndTwoThreads) {
    json showcase = json::parse(kShowcaseScene);
    showcase["image"] = {{"width", 40}, {"height", 30}, {"spp", 2}, {"light_samples", 2}};
    const struct {
        const char *name;
        Sampling sampling;
        int passes;
    } cases[] = {
        {"sobol", {SamplerKind::sobol, 0, 0, 1}, 1},
        {"random", {SamplerKind::random, 0, 0, 1}, 1},
        {"sobol, seed 7", {SamplerKind::sobol, 7, 0, 1}, 1},
        {"random, seed 7", {SamplerKind::random, 7, 0, 1}, 1},
        // Passes until a noise target (out of reach): the passes continue
        // each pixel's sequence in the same way.
        {"sobol, 3 passes", {SamplerKind::sobol, 0, 1e-9, 3}, 3},
        {"random, 3 passes", {SamplerKind::random, 0, 1e-9, 3}, 3},
        {"sobol, by bounds, even",
         {SamplerKind::sobol, 0, 0, 1, LightSampling::bounds, 1, false},
         1},
        {"random, by bounds, 3 passes, even",
         {SamplerKind::random, 0, 1e-9, 3, LightSampling::bounds, 2, false},
         3},
        // Shared by each pixel's error: a first pass, then one that shares
        // as many samples again.
        {"sobol, by bounds, shared", {SamplerKind::sobol, 0, 0, 1, LightSampling::bounds, 1}, 2},
        {"random, by bounds, shared", {SamplerKind::random, 3, 0, 1, LightSampling::bounds, 1}, 2},
        {"sobol, choosing lights, 3 passes",
         {SamplerKind::sobol, 0, 1e-9, 3, LightSampling::choose, 4},
         3},
        {"random, choosing lights, shared",
         {SamplerKind::random, 0, 0, 1, LightSampling::choose, 1},
         2},
        // A light of 3 samples over two camera samples: shared two at a time.
        {"sobol, 5 passes, odd split",
         {SamplerKind::sobol, 0, 1e-9, 5, LightSampling::bounds, 2},
         5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        json scene = showcase;
        if (std::string(c.name).find("odd split") != std::string::npos) {
            scene["image"]["light_samples"] = 4;
            scene["lights"][0]["samples"] = 3;
        }
        Outcome one = render_json(scene, 1, ".", {}, c.sampling);
        Outcome two = render_json(scene, 2, ".", {}, c.sampling);
        EXPECT_EQ(one.error, "");
        EXPECT_EQ(two.error, "");
        if (one.image.rgb.size() != two.image.rgb.size()) {
            ADD_FAILURE() << one.image.rgb.size() << " values against " << two.image.rgb.size();
            continue;
        }
        EXPECT_EQ(std::memcmp(one.image.rgb.data(), two.image.rgb.data(),
                              one.image.rgb.size() * sizeof(float)),
                  0);
        EXPECT_EQ(one.stats.shader_calls, two.stats.shader_calls);
        EXPECT_EQ(one.stats.shadow_rays, two.stats.shadow_rays);
        EXPECT_EQ(one.stats.passes, c.passes);
    }
}

// Compares two renders of SamplingByBoundsKeepsTheImage's scenes region by
// region; unless its camera samples were shared by error, the second takes
// no more samples, and where much of an emitter faces away, turns fewer of
// them down.
void expect_same_regions(const Outcome &area, const Outcome &bounds, bool far_side, bool shared) {
    for (int region = 0; region < 4; ++region) {
        double sums[2] = {0, 0};
        for (int y = 12 * (region / 2); y < 12 * (region / 2) + 12; ++y) {
            for (int x = 16 * (region % 2); x < 16 * (region % 2) + 16; ++x) {
                Vec3 a = area.image.at(x, y), b = bounds.image.at(x, y);
                sums[0] += a.x + a.y + a.z;
                sums[1] += b.x + b.y + b.z;
            }
        }
        EXPECT_NEAR(sums[1], sums[0], 0.02 * sums[0] + 1e-3) << "region " << region;
    }
    if (shared) {
        return;
    }
    // By bounds, no more samples, and fewer of them turned down.
    EXPECT_LE(bounds.stats.light_samples, area.stats.light_samples);
    auto turned_down = [](const Stats &s) {
        return static_cast<double>(s.rejected) / static_cast<double>(s.light_samples);
    };
    if (far_side) {
        EXPECT_GT(turned_down(area.stats), 0.2);
        EXPECT_LT(turned_down(bounds.stats), 0.8 * turned_down(area.stats));
    }
}

// Sampled by bounds, the light is the one sampled by area, the same in every
// region of the image, while the samples that cannot give light (on the far
// side of a one-sided emitter, behind the receiving surface) are not drawn.
TEST(Lighting, SamplingByBoundsKeepsTheImage) {
    auto scene_of = [](const json &params, const json &emitter) {
        json scene = floor_scene(params, 1, 0.3f, -2, 2, 32);
        scene["image"] = {{"width", 32}, {"height", 24}, {"spp", 1}, {"light_samples", 8}};
        // Low, under the emitters: the camera sees only the light they give.
        scene["camera"] = {{"position", {0, 0.35, 3}}, {"look_at", {0, 0, -1}}, {"fov", 20}};
        scene["objects"][1] = emitter;
        scene["objects"].push_back({{"name", "wall"},
                                    {"shape", "box"},
                                    {"size", {0.2, 0.8, 1.5}},
                                    {"translate", {0.9, 0.4, 0}}});
        return scene;
    };
    json sphere = {{"name", "panel"},
                   {"shape", "sphere"},
                   {"radius", 0.35},
                   {"segments", 32},
                   {"translate", {-0.3, 1.0, 0}}};
    json panel = {{"name", "panel"},
                  {"shape", "quad"},
                  {"size", {0.6, 0.6}},
                  {"rotate", {0, 0, -120}},
                  {"translate", {-0.8, 1.0, 0}}};
    const json physical = {
        {"color", {1, 0.8, 0.6, 20}}, {"decay", 3}, {"shadows", true}, {"max_level", 1}};
    auto three_lights = [&](json scene) {
        json second = panel, third = panel;
        second["name"] = "second";
        third["name"] = "third";
        third["translate"] = json{1.3, 0.5, 0};
        scene["objects"].push_back(second);
        scene["objects"].push_back(third);
        scene["lights"].push_back({{"name", "second light"},
                                   {"object", "second"},
                                   {"params",
                                    {{"color", {0.3, 1, 0.5, 0.05}},
                                     {"directional", true},
                                     {"cutoff", 0.2},
                                     {"shadows", true},
                                     {"max_level", 1}}}});
        scene["lights"].push_back(
            {{"name", "third light"},
             {"object", "third"},
             {"params", {{"color", {1, 1, 1, 0.5}}, {"decay", 1}, {"decay_end", 3}}}});
        return scene;
    };
    const struct {
        const char *name;
        json scene;
        bool far_side; // much of the emitter faces away from what it lights
    } cases[] = {
        {"physical sphere", scene_of(physical, sphere), true},
        {"directional panel with a cutoff",
         scene_of({{"color", {1, 1, 1, 0.02}},
                   {"directional", true},
                   {"cosine", true},
                   {"cutoff", 0.3},
                   {"shadows", true},
                   {"max_level", 1}},
                  panel),
         false},
        {"linear range, both sides",
         scene_of(
             {{"color", {0.6, 0.7, 1, 2}}, {"decay", 1}, {"decay_start", 0.2}, {"decay_end", 2.5}},
             sphere),
         false},
        // Three lights of other laws and brightness, one behind the wall:
        // picked among, each still gives its own light.
        {"three lights", three_lights(scene_of(physical, sphere)), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome area =
            render_json(c.scene, 2, ".", {},
                        Sampling{SamplerKind::sobol, 0, 1e-9, 64, LightSampling::area, 1, false});
        ASSERT_EQ(area.error, "");
        // By bounds, choosing lights too, and with camera samples shared by
        // each pixel's error: the same image.
        const struct {
            const char *name;
            LightSampling how;
            int split;
            bool adaptive;
        } ways[] = {{"by bounds", LightSampling::bounds, 1, false},
                    {"choosing lights", LightSampling::choose, 2, false},
                    {"by bounds, shared", LightSampling::bounds, 1, true}};
        for (const auto &way : ways) {
            SCOPED_TRACE(way.name);
            Outcome bounds = render_json(
                c.scene, 2, ".", {},
                Sampling{SamplerKind::sobol, 3, 1e-9, 64, way.how, way.split, way.adaptive});
            ASSERT_EQ(bounds.error, "");
            expect_same_regions(area, bounds, c.far_side, way.adaptive);
        }
    }
}
// Another seed draws another noise pattern around the same image; so does
// the other sampler; and more passes bring the estimated error down.
TEST(Lighting, SeedsAndSamplersChangeTheNoiseButNotTheImage) {
    json scene = floor_scene({{"color", {1, 1, 1, 1}}}, 1, 0.5f);
    // The lit floor, leaving out the emitter in front of it.
    auto mean = [](const Outcome &o) {
        double sum = 0;
        int count = 0;
        for (int px = 0; px < 64; ++px) {
            if (std::fabs(floor_x(px)) > 0.35f) {
                sum += row_value(o, px);
                ++count;
            }
        }
        return sum / count;
    };
    Outcome base = render_json(scene, 1, ".", {}, Sampling{SamplerKind::sobol, 0, 1e-9, 16});
    ASSERT_EQ(base.error, "");
    const Sampling others[] = {{SamplerKind::sobol, 1, 1e-9, 16},
                               {SamplerKind::random, 0, 1e-9, 16}};
    for (const Sampling &other : others) {
        Outcome o = render_json(scene, 1, ".", {}, other);
        if (!o.error.empty()) {
            ADD_FAILURE() << o.error;
            continue;
        }
        EXPECT_NE(std::memcmp(base.image.rgb.data(), o.image.rgb.data(),
                              base.image.rgb.size() * sizeof(float)),
                  0);
        EXPECT_NEAR(mean(o), mean(base), 0.03 * mean(base));
    }
    Outcome shorter = render_json(scene, 1, ".", {}, Sampling{SamplerKind::sobol, 0, 1e-9, 2});
    ASSERT_GT(shorter.stats.noise, 0);
    EXPECT_LT(base.stats.noise, 0.5 * shorter.stats.noise);
    // A target within reach stops the passes as soon as it is met.
    double goal = 0.5 * shorter.stats.noise;
    Outcome target = render_json(scene, 1, ".", {}, Sampling{SamplerKind::sobol, 0, goal, 64});
    EXPECT_GT(target.stats.passes, 2);
    EXPECT_LT(target.stats.passes, 64);
    EXPECT_LT(target.stats.noise, goal);
}

TEST(Protocol, LibraryIsDrivenInOrderAndLeavesNothingAllocated) {
    json scene = floor_scene({{"color", {1, 1, 1, 1}}});
    scene["objects"].push_back({{"name", "second"}, {"shape", "quad"}, {"translate", {3, 1, 0}}});
    scene["lights"].push_back(
        {{"name", "other"}, {"object", "second"}, {"params", {{"color", {1, 1, 1, 1}}}}});
    Outcome outcome = render_json(scene);
    ASSERT_EQ(outcome.error, "");
    const std::vector<std::string> expected = {
        "miSetModuleHandle",
        "oskalight_version",
        "oskalight_init(0)",
        "oskalight(lights[0] 'lamp': object)",
        "oskalight(lights[1] 'other': object)",
        "oskacolor_version",
        "oskacolor_init(0)",
        "oskacolor_init(lights[0] 'lamp')",
        "oskacolor_init(lights[1] 'other')",
        "oskacolor_exit(lights[1] 'other')",
        "oskacolor_exit(lights[0] 'lamp')",
        "oskacolor_exit(0)",
        "oskalight_exit(0)",
    };
    EXPECT_EQ(outcome.protocol, expected);
    EXPECT_EQ(host::host().allocations(), 2);
    EXPECT_EQ(host::host().releases(), 2);
    EXPECT_TRUE(host::host().leaks().empty());
    EXPECT_TRUE(host::host().allocator_errors().empty());
}

// The threads this process runs now.
int thread_count() { return static_cast<int>(names_in("/proc/self/task").size()); }

// Embree builds the scene on worker threads; none may run on once the last
// session is gone, or a memory check at exit finds their blocks. Counted in
// a process of its own, so that no other test's threads come into it.
TEST(Protocol, NoWorkerThreadOutlivesTheLastSession) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int before = thread_count();
            const Outcome outcome = render_json(floor_scene({{"color", {1, 1, 1, 1}}}));
            const int after = thread_count();
            std::fprintf(stderr, "threads before the session %d, after it %d; error '%s'\n", before,
                         after, outcome.error.c_str());
            std::exit(outcome.error.empty() && after == before ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SceneShaders, OverrideTheLightsSampleCount) {
    // The light takes 4 samples a point by default; an oskalight call that
    // overrides the counts makes it take 3 (its first count).
    json scene = floor_scene({{"color", {1, 1, 1, 1}}});
    Outcome plain = render_json(scene);
    scene["shaders"] = {{{"shader", "oskalight"},
                         {"params",
                          {{"enable", true},
                           {"instance", "panel"},
                           {"lights", {"lamp"}},
                           {"override_samples", true},
                           {"samples_1", 3}}}}};
    Outcome overridden = render_json(scene);
    ASSERT_EQ(plain.error, "");
    ASSERT_EQ(overridden.error, "");
    EXPECT_EQ(plain.stats.light_samples % 4, 0);
    EXPECT_EQ(overridden.stats.light_samples, plain.stats.light_samples / 4 * 3);
}

TEST(Protocol, ProgramExportsTheHostFunctions) {
    // The library finds the mi_ functions in this program, by name.
    void *self = host::module_handle();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(dlsym(self, "mi_query"), reinterpret_cast<void *>(&mi_query));
    EXPECT_EQ(dlsym(self, "mi_trace_shadow"), reinterpret_cast<void *>(&mi_trace_shadow));
}

} // namespace
} // namespace oska::render::test
