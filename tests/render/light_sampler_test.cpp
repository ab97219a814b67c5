// The light samplers of --light-sampling, each asked for a point's light
// directly: how far they split a camera sample, where a point's samples go,
// and that all three estimate the same irradiance.
#include "direct_light.h"
#include "light_sampler.h"
#include "render_test.h"

#include <memory>

namespace oska::render::test {
namespace {

TEST(LightSampler, EveryModeEstimatesThePointsLightFromItsShareOfTheLights) {
    // Two lamps over the floor; the point lies between them.
    const json params = {{"color", {1, 1, 1, 1}}};
    json scene = floor_scene(params, 1, 0.5f);
    scene["objects"].push_back({{"name", "panel2"},
                                {"shape", "quad"},
                                {"size", {0.5, 0.5}},
                                {"rotate", {180, 0, 0}},
                                {"translate", {1, 1.5, 0}}});
    scene["lights"].push_back({{"name", "lamp2"}, {"object", "panel2"}, {"params", params}});
    const struct {
        const char *name;
        LightSampling mode;
        int divisor; // 4 light samples, 2 at a camera sample
        bool chosen; // a sample picks its light
    } cases[] = {
        {"area", LightSampling::area, 1, false},
        {"bounds", LightSampling::bounds, 2, false},
        {"choose", LightSampling::choose, 2, true},
    };
    SurfacePoint at;
    at.position = {0.5f, 0, 0};
    at.normal = at.geometric_normal = {0, 1, 0};
    constexpr int kCameraSamples = 512;
    OpenedScene opened;
    with_open_scene(
        SceneSource::from_text(scene.dump(), "test.json", "."), SceneRun{}, opened,
        [&](const Session &session) {
            const LitScene &lit = session.lit();
            Vec3 by_area;
            for (const auto &c : cases) {
                SCOPED_TRACE(c.name);
                RenderSettings settings = settings_of(opened.scene);
                settings.light_sampling = c.mode;
                const std::unique_ptr<LightSampler> made = make_light_sampler(lit, settings);
                EXPECT_EQ(made->divisor(), c.divisor);
                const std::unique_ptr<LightSampler> sampler = made->copy();
                DirectLight estimator(lit);
                PixelSampler numbers(SamplerKind::sobol, 0, 0, 0, 0);
                Vec3 sum;
                for (uint32_t i = 0; i < kCameraSamples; ++i) {
                    sum += sampler->irradiance(at, -1, numbers, i, estimator);
                }
                const Vec3 mean = sum / static_cast<float>(kCameraSamples);
                float total = 0;
                for (int light = 0; light < 2; ++light) {
                    EXPECT_GT(sampler->probability(light), 0);
                    total += sampler->probability(light);
                }
                EXPECT_NEAR(total, c.chosen ? 1 : 2, 1e-6);
                by_area = c.mode == LightSampling::area ? mean : by_area;
                EXPECT_GT(mean.x, 0);
                EXPECT_NEAR(mean.x, by_area.x, 0.05 * by_area.x);
                // On the first lamp's own object, only the second lights it.
                Vec3 alone = sampler->irradiance(at, lit.lights[0].object, numbers, 0, estimator);
                EXPECT_GT(alone.x, 0);
                if (c.chosen) {
                    EXPECT_EQ(sampler->probability(0), 0);
                    EXPECT_NEAR(sampler->probability(1), 1, 1e-6);
                }
                EXPECT_EQ(estimator.stats.light_samples,
                          estimator.stats.facing_away + estimator.stats.shader_calls);
            }
        });
}

} // namespace
} // namespace oska::render::test
