// Fixture of the oskacolor tests: one object light with one oskacolor
// instance in the testing host, a light-ray state for it, and helpers to
// initialise and evaluate the instance.
#ifndef OSKA_TESTS_OSKACOLOR_FIXTURE_H
#define OSKA_TESTS_OSKACOLOR_FIXTURE_H

#include "support/one_light.h"
#include "support/oska_test.h"
#include "support/oskacolor_record.h"

#include <cstddef>
#include <string>
#include <vector>

namespace oska::test {

#define OSKACOLOR_AT(field) offsetof(oskacolor_params, field)

// The 32-bit float nearest 4 pi, over which a physical light spreads.
constexpr float kFourPi = 12.566371f;

class OskacolorTest : public OskaTest {
  protected:
    void SetUp() override {
        OskaTest::SetUp();
        make_light({}, 1.0f);
    }

    // Replaces the scene by one light as described, one instance of it with
    // the given emit divisor and one fresh oskacolor instance (base colour
    // white, every other parameter 0).
    void make_light(const host::LightDesc &desc, float emit_divisor) {
        const OneLight scene = one_light(host, desc, emit_divisor);
        light_ = scene.light;
        light_instance_ = scene.light_instance;
        shader_ = scene.shader;
        state_ = &host.make_state(*shader_, light_instance_);
    }

    // A fresh host holding only that scene, for a row of a table.
    void restart(const host::LightDesc &desc = {}, float emit_divisor = 1.0f) {
        host.reset();
        make_light(desc, emit_divisor);
    }

    oskacolor_params &params() { return *shader_->params<oskacolor_params>(); }
    oska_state &state() { return *state_; }

    void set_decay(oska_integer law, float start, float end) {
        test::set_decay(params(), law, start, end);
    }

    // The sample's vector list: entry 0 the texture coordinate, entry 2n the
    // vertex vector of channel n.
    void set_vectors(std::vector<oska_vector> vectors) {
        vectors_ = std::move(vectors);
        state_->vectors = vectors_.data();
        state_->vector_count = static_cast<int32_t>(vectors_.size());
    }

    void init() {
        oska_boolean init_req = 7;
        lib.oskacolor_init(state_, &params(), &init_req);
        EXPECT_EQ(init_req, 7) << "a per-instance init never writes the flag";
    }
    void end_instance() { lib.oskacolor_exit(state_, &params()); }

    // One evaluation; the result starts from `start` so that an untouched
    // result can be told apart.
    oska_boolean shade(oska_color &result, oska_color start = {-7.0f, -7.0f, -7.0f, -7.0f}) {
        result = start;
        return lib.oskacolor(&result, state_, &params());
    }

    // One evaluation that must return `accepted`; its result.
    oska_color evaluate(oska_boolean accepted = 1) {
        oska_color result;
        EXPECT_EQ(shade(result), accepted);
        return result;
    }

    // The call log without the entries a test does not look at.
    std::vector<std::string> calls_of(const char *prefix) const {
        std::vector<std::string> kept;
        for (const std::string &call : host.calls()) {
            if (call.rfind(prefix, 0) == 0) {
                kept.push_back(call);
            }
        }
        return kept;
    }

    oska_tag light_ = 0;
    oska_tag light_instance_ = 0;
    host::ShaderInstance *shader_ = nullptr;
    oska_state *state_ = nullptr;
    std::vector<oska_vector> vectors_;
};

} // namespace oska::test

#endif
