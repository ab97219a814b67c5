// A million instance lives: every block that oskacolor_init takes from the
// host's allocator goes back exactly once, through oskacolor_exit, whether
// the instance serves an object light or failed the object-light check.
//
// OSKA_HARDENING_CYCLES sets the number of lives (default 1000000); the
// sanitizer and valgrind runs ask for fewer.
#include "support/oska_test.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace oska::test {
namespace {

long cycles_wanted() {
    const char *text = std::getenv("OSKA_HARDENING_CYCLES");
    if (text == nullptr || *text == '\0') {
        return 1000000;
    }
    const long cycles = std::strtol(text, nullptr, 10);
    return cycles > 0 ? cycles : 1000000;
}

// The host keeps every released block until it is reset, to catch a second
// release of the same address; so the lives run in rounds of this many.
constexpr long kRound = 20000;

struct Instance {
    host::ShaderInstance *shader;
    oska_state *state;
    oskacolor_params *params;
    bool object_light;
};

class AllocatorCycles : public OskaTest {
  protected:
    // Instances over an object light and over a light of another area kind,
    // with switches that take each branch of init.
    std::vector<Instance> scene() {
        host::LightDesc spot;
        spot.area_kind = 1;
        const oska_tag object_light = host.add_instance(host.add_light(), "object");
        const oska_tag spot_light = host.add_instance(host.add_light(spot), "spot");
        std::vector<Instance> instances;
        for (int i = 0; i < 4; ++i) {
            Instance instance{};
            instance.object_light = i != 3;
            instance.shader = &host.add_shader("oskacolor", sizeof(oskacolor_params));
            instance.params = instance.shader->params<oskacolor_params>();
            instance.params->color = {1.0f, 1.0f, 1.0f, 1.0f};
            instance.params->decay = i;
            instance.params->use_vertex_color = i == 1;
            instance.params->vc_color = i == 1;
            instance.params->use_texture = i == 2;
            instance.params->texture = i == 2 ? 99u : 0u;
            instance.state = &host.make_state(*instance.shader,
                                              instance.object_light ? object_light : spot_light);
            instances.push_back(instance);
        }
        return instances;
    }
};

TEST_F(AllocatorCycles, EveryBlockIsReleasedExactlyOnce) {
    const long cycles = cycles_wanted();
    long done = 0;
    long refused = 0;
    while (done < cycles) {
        host.reset();
        host.set_logging(false);
        const std::vector<Instance> instances = scene();
        const long round = std::min(kRound, cycles - done);
        long refused_here = 0;
        // An exit before any init finds nothing to give back.
        lib.oskacolor_exit(instances[0].state, instances[0].params);
        for (long i = 0; i < round; ++i) {
            const Instance &instance = instances[std::size_t(i) % instances.size()];
            oska_boolean init_req = 7;
            lib.oskacolor_init(instance.state, instance.params, &init_req);
            if (!instance.object_light) {
                ++refused_here;
            }
            // Now and then the instance is evaluated between its init and exit.
            if (i % 97 == 0) {
                oska_color result;
                lib.oskacolor(&result, instance.state, instance.params);
            }
            lib.oskacolor_exit(instance.state, instance.params);
            if (instance.shader->settings != nullptr) {
                FAIL() << "the slot still names a released block after life " << done + i;
            }
            // Now and then it is ended twice: the second exit finds the slot empty.
            if (i % 89 == 0) {
                lib.oskacolor_exit(instance.state, instance.params);
            }
        }
        ASSERT_EQ(host.allocations(), round) << "after " << done << " lives";
        ASSERT_EQ(host.releases(), round) << "after " << done << " lives";
        ASSERT_TRUE(host.leaks().empty()) << "after " << done << " lives";
        ASSERT_TRUE(host.allocator_errors().empty()) << host.allocator_errors().front();
        ASSERT_EQ(host.texts(host::Level::error).size(), std::size_t(refused_here));
        done += round;
        refused += refused_here;
    }
    EXPECT_EQ(done, cycles);
    EXPECT_GT(refused, 0);
}

// The labels the host's leak reports rely on, on both kinds of instance.
TEST_F(AllocatorCycles, BlocksCarryTheirSourceLabels) {
    const std::vector<Instance> instances = scene();
    for (const Instance &instance : instances) {
        host.clear_calls();
        oska_boolean init_req = 0;
        lib.oskacolor_init(instance.state, instance.params, &init_req);
        lib.oskacolor_exit(instance.state, instance.params);
        std::vector<std::string> allocator_calls;
        for (const std::string &call : host.calls()) {
            if (call.rfind("mi_mem_int_", 0) == 0) {
                allocator_calls.push_back(call);
            }
        }
        EXPECT_EQ(allocator_calls,
                  (std::vector<std::string>{"mi_mem_int_allocate(oskacolor, 70, " +
                                                std::to_string(25 * sizeof(oska_scalar)) + ")",
                                            "mi_mem_int_release(oskacolor, 190)"}));
    }
    EXPECT_TRUE(host.leaks().empty());
}

} // namespace
} // namespace oska::test
