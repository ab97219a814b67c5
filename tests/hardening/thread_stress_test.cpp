// Many threads in the library at once, right after miSetModuleHandle has
// emptied every slot of the host function table: the first calls of every
// binding race (evaluation, init, exit and scene edits, in a different order
// on each thread), and several shared instances are evaluated over the same
// samples by all threads. Each thread must get, bit for bit, what one thread
// alone gets. ThreadSanitizer runs this (the tsan stage), and so does Wine,
// on the Windows library.
#include "support/oska_test.h"
#include "support/oskacolor_record.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace oska::test {
namespace {

constexpr int kThreads = 8;
constexpr int kSamples = 48;
constexpr int kRepeats = 40;
constexpr int kVectors = 10; // texture coordinate, then vertex channels 1 to 4

// One evaluation's answer, compared bit for bit.
struct Answer {
    oska_boolean returned;
    oska_color color;
};

bool operator==(const Answer &a, const Answer &b) {
    return a.returned == b.returned && std::memcmp(&a.color, &b.color, sizeof a.color) == 0;
}

// A sample of the emitting surface, as the host hands it over.
struct Sample {
    int ray_kind;
    double distance;
    float emission_dot;
    unsigned char orientation;
    int level;
    oska_vector vectors[kVectors];
};

std::vector<Sample> make_samples() {
    std::vector<Sample> samples(kSamples);
    for (int i = 0; i < kSamples; ++i) {
        Sample &s = samples[std::size_t(i)];
        s.ray_kind = i % 7 == 0 ? OSKA_RAY_EYE : OSKA_RAY_LIGHT;
        s.distance = 0.5 + 0.61 * i;
        s.emission_dot = -1.0f + 0.027f * float(i);
        s.orientation = i % 11 == 5 ? 0 : 1;
        s.level = i % 6;
        for (int v = 0; v < kVectors; ++v) {
            const float f = float(i * kVectors + v);
            s.vectors[v] = {std::fmod(f * 0.137f, 1.0f), std::fmod(f * 0.291f, 1.0f),
                            std::fmod(f * 0.053f, 1.0f)};
        }
    }
    return samples;
}

// A deterministic shadow: partial, complete or failed by distance.
oska_boolean trace_shadow(oska_color *transmission, oska_state *state) {
    const double d = state->distance;
    if (d > 25.0) {
        return 0;
    }
    const float t = float(std::fmod(d * 0.37, 1.0));
    *transmission = {t, 1.0f - t, t * 0.5f, 1.0f};
    return 1;
}

class ThreadStress : public OskaTest {
  protected:
    void SetUp() override {
        OskaTest::SetUp();
        host.set_logging(false);
        host.set_shadow_tracer(trace_shadow);
        host::Image image;
        image.width = 4;
        image.height = 4;
        for (int i = 0; i < 16; ++i) {
            image.texels.push_back({0.1f + 0.05f * float(i), 0.9f - 0.04f * float(i),
                                    0.3f + 0.02f * float(i), 0.25f + 0.045f * float(i)});
        }
        texture = host.add_texture(image, "checker");
        host::LightDesc object;
        object.exponent = 2.0f;
        light_instance = host.add_instance(host.add_light(object), "lamp", 2.0f);
        host::LightDesc spot;
        spot.area_kind = 1;
        spot_instance = host.add_instance(host.add_light(spot), "spot");
        shared_instances();
    }

    // Five instances that between them take every path of an evaluation.
    void shared_instances() {
        for (int i = 0; i < 5; ++i) {
            host::ShaderInstance &shader = host.add_shader("oskacolor", sizeof(oskacolor_params));
            oskacolor_params *p = shader.params<oskacolor_params>();
            p->color = {0.8f, 0.6f, 0.4f, 1.5f};
            p->shadows = 1;
            p->shadow_color = {0.1f, 0.2f, 0.3f, 1.0f};
            p->max_level = 4;
            switch (i) {
            case 0: // linear range
                set_decay(*p, OSKA_DECAY_LINEAR, 1.0f, 24.0f);
                break;
            case 1: // one-sided inverse square, with a threshold
                set_decay(*p, OSKA_DECAY_INVERSE_POWER, 1.0f, 24.0f);
                p->directional = p->cosine = 1;
                p->cutoff = 0.1f;
                p->threshold = 0.001f;
                break;
            case 2: // texture, adjusted, sizing the range
                set_decay(*p, OSKA_DECAY_LINEAR, 1.0f, 24.0f);
                p->use_texture = 1;
                p->texture = texture;
                set_hsv(*p, 0.25f, 0.0f, 0.5f);
                set_burn(*p, 2.0f, 0.3f, 1.5f);
                p->use_alpha = p->texture_range = p->tint_shadow = 1;
                p->alpha_scale = 1.5f;
                p->range_gamma = 1.0f;
                break;
            case 3: // vertex data for everything
                set_decay(*p, OSKA_DECAY_LINEAR, 1.0f, 24.0f);
                set_vertex_channels(*p, 1, 2, 3, 4);
                break;
            default: // physical and directional, other rays divided
                set_decay(*p, OSKA_DECAY_PHYSICAL, 2.0f, 24.0f);
                p->directional = 1;
                break;
            }
            // One parameter read through another shader.
            shader.attach(offsetof(oskacolor_params, saturation), 0.5f);
            oska_boolean init_req = 0;
            lib.oskacolor_init(&host.make_state(shader, light_instance), p, &init_req);
            shaders.push_back(&shader);
        }
    }

    // States for one thread, one per sample, each its own sample and parent.
    std::vector<oska_state *> states_for(const std::vector<Sample> &samples, std::size_t instance) {
        std::vector<oska_state *> states;
        for (const Sample &s : samples) {
            oska_state &state = host.make_state(*shaders[instance], light_instance);
            state.ray_kind = s.ray_kind;
            state.distance = s.distance;
            state.emission_dot = s.emission_dot;
            state.orientation = s.orientation;
            state.reflection_level = s.level;
            state.refraction_level = s.level / 2;
            state.vectors = s.vectors;
            state.vector_count = kVectors;
            states.push_back(&state);
        }
        return states;
    }

    // Every shared instance over every sample, in order.
    std::vector<Answer> evaluate_all(const std::vector<std::vector<oska_state *>> &states) {
        std::vector<Answer> answers;
        for (std::size_t i = 0; i < shaders.size(); ++i) {
            oskacolor_params *p = shaders[i]->params<oskacolor_params>();
            for (oska_state *state : states[i]) {
                Answer answer{};
                answer.returned = lib.oskacolor(&answer.color, state, p);
                answers.push_back(answer);
            }
        }
        return answers;
    }

    // A thread's own instances and scene elements, for the bindings that
    // evaluation does not use.
    struct Own {
        host::ShaderInstance *color = nullptr;     // over an object light
        host::ShaderInstance *refused = nullptr;   // over a spot light
        host::ShaderInstance *binder = nullptr;    // oskalight, binds its own light
        host::ShaderInstance *lightless = nullptr; // oskalight, finds no light
        oska_state *color_state = nullptr;
        oska_state *refused_state = nullptr;
        oska_state *binder_state = nullptr;
        oska_state *lightless_state = nullptr;
        oska_tag light = 0;
        oska_tag object = 0;
        std::vector<std::vector<oska_state *>> states;
        std::vector<Answer> answers;
    };

    Own own_for(const std::vector<Sample> &samples) {
        Own own;
        own.color = &host.add_shader("oskacolor", sizeof(oskacolor_params));
        own.color->params<oskacolor_params>()->color = {1.0f, 1.0f, 1.0f, 1.0f};
        own.color_state = &host.make_state(*own.color, light_instance);
        own.refused = &host.add_shader("oskacolor", sizeof(oskacolor_params));
        own.refused_state = &host.make_state(*own.refused, spot_instance);

        own.light = host.add_light();
        host.light(own.light)->area_kind = 2;
        const oska_tag holder = host.add_instance(own.light, "own lamp");
        own.object = host.add_instance(host.add_element(7, "shape"), "own object");
        own.binder = &host.add_shader("oskalight", sizeof(oskalight_params));
        bind_one_light(*own.binder, holder, own.object)->set_instance_flags = 1;
        own.binder_state = &host.make_state(*own.binder);
        own.lightless = &host.add_shader("oskalight", sizeof(oskalight_params));
        bind_one_light(*own.lightless, own.object, own.object); // holds no light
        own.lightless_state = &host.make_state(*own.lightless);

        for (std::size_t i = 0; i < shaders.size(); ++i) {
            own.states.push_back(states_for(samples, i));
        }
        return own;
    }

    // What one thread does, starting at a step of its own so that different
    // bindings see their first call on different threads.
    void work(Own &own, int first_step) {
        for (int n = 0; n < 4; ++n) {
            switch ((first_step + n) % 4) {
            case 0:
                for (int r = 0; r < kRepeats; ++r) {
                    own.answers = evaluate_all(own.states);
                }
                break;
            case 1: {
                oska_boolean init_req = 0;
                lib.oskacolor_init(own.color_state, own.color->params<oskacolor_params>(),
                                   &init_req);
                lib.oskacolor_init(own.refused_state, own.refused->params<oskacolor_params>(),
                                   &init_req);
                break;
            }
            case 2:
                lib.oskalight(nullptr, own.binder_state, own.binder->params<oskalight_params>());
                lib.oskalight(nullptr, own.lightless_state,
                              own.lightless->params<oskalight_params>());
                break;
            default:
                break;
            }
        }
        lib.oskacolor_exit(own.color_state, own.color->params<oskacolor_params>());
        lib.oskacolor_exit(own.refused_state, own.refused->params<oskacolor_params>());
    }

    oska_tag texture = 0;
    oska_tag light_instance = 0;
    oska_tag spot_instance = 0;
    std::vector<host::ShaderInstance *> shaders;
};

TEST_F(ThreadStress, ThreadsRacingFirstCallsGetWhatOneThreadGets) {
    const std::vector<Sample> samples = make_samples();

    // One thread alone.
    std::vector<Own> own;
    own.push_back(own_for(samples));
    work(own[0], 0);
    const std::vector<Answer> expected = own[0].answers;
    ASSERT_EQ(expected.size(), std::size_t(kSamples) * shaders.size());
    int contributing = 0;
    for (const Answer &answer : expected) {
        contributing += answer.returned;
    }
    EXPECT_GT(contributing, int(expected.size()) / 4) << "the samples exercise too little";
    EXPECT_LT(contributing, int(expected.size())) << "no sample is rejected";

    // Every slot empty again, then all threads at once.
    own.clear();
    for (int t = 0; t < kThreads; ++t) {
        own.push_back(own_for(samples));
    }
    const long errors_before = long(host.texts(host::Level::error).size());
    const long warnings_before = long(host.texts(host::Level::warning).size());
    lib.miSetModuleHandle(host::module_handle());
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            work(own[std::size_t(t)], t);
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    // The same answers, the same edits, every block back.
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        const Own &mine = own[std::size_t(t)];
        EXPECT_EQ(mine.answers.size(), expected.size());
        for (std::size_t i = 0; i < std::min(expected.size(), mine.answers.size()); ++i) {
            EXPECT_TRUE(mine.answers[i] == expected[i]) << "evaluation " << i << " differs";
        }
        EXPECT_EQ(host.light(mine.light)->area_kind, OSKA_AREA_OBJECT);
        EXPECT_EQ(host.light(mine.light)->object_instance, mine.object);
        EXPECT_EQ(host.instance(mine.object)->flags[4], 3);
        EXPECT_EQ(mine.color->settings, nullptr);
        EXPECT_EQ(mine.refused->settings, nullptr);
    }
    EXPECT_EQ(long(host.texts(host::Level::error).size()) - errors_before, kThreads);
    EXPECT_EQ(long(host.texts(host::Level::warning).size()) - warnings_before, kThreads);
    EXPECT_TRUE(host.edit_errors().empty());
    EXPECT_TRUE(host.allocator_errors().empty());
    for (host::ShaderInstance *shader : shaders) {
        lib.oskacolor_exit(&host.make_state(*shader, light_instance),
                           shader->params<oskacolor_params>());
    }
    EXPECT_TRUE(host.leaks().empty());
}

} // namespace
} // namespace oska::test
