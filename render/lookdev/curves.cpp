#include "lookdev/curves.h"

#include "geometry.h"
#include "lookdev/values.h"
#include "shading.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace oska::render::lookdev {

namespace {

constexpr double kPi = 3.14159265358979323846;

// What the page notes of the distance curve: the law of falloff, whether it
// works within a range and that range, and the level below which a sample
// goes dark, each role with the name of its parameter.
void describe_distance(json &curve, const lookdev::Roles &p) {
    const int law = p.word(OSKA_ROLE_DECAY);
    curve["law"] = {{"name", p.name(OSKA_ROLE_DECAY)}, {"value", law}};
    curve["ranged"] = ranged_decay(law);
    curve["start"] = p.scalar(OSKA_ROLE_RANGE_START);
    curve["end"] = p.scalar(OSKA_ROLE_RANGE_END);
    curve["limit"] = {{"name", p.name(OSKA_ROLE_THRESHOLD)},
                      {"value", p.scalar(OSKA_ROLE_THRESHOLD)}};
}

// What it notes of the angle curve: whether the light emits from its front
// only, and the angle beyond which nothing arrives then (-1 otherwise).
void describe_angle(json &curve, const lookdev::Roles &p) {
    const bool front_only = p.word(OSKA_ROLE_FRONT_ONLY) != 0;
    const float edge = std::clamp(p.scalar(OSKA_ROLE_CUTOFF), -1.0f, 1.0f);
    curve["front"] = {{"name", p.name(OSKA_ROLE_FRONT_ONLY)}, {"on", front_only}};
    curve["edge"] = {{"name", p.name(OSKA_ROLE_CUTOFF)},
                     {"degrees", front_only ? std::acos(edge) * 180 / kPi : -1.0}};
}

// What the light's colour comes from: a vertex colour when vertex data and
// its switch are on, else the texel when the image is on and named;
// "" for neither.
std::string colour_source(const lookdev::Roles &p) {
    const oska_param_info *vertex = p.row(OSKA_ROLE_VERTEX_SOURCE);
    if (p.word(OSKA_ROLE_VERTEX_DATA) != 0 && p.word(vertex) != 0) {
        return "vertex colour " + std::to_string(p.word(p.next(vertex)));
    }
    if (p.word(OSKA_ROLE_TEXTURE_SOURCE) != 0 && p.word(OSKA_ROLE_TEXTURE) != 0) {
        return "texel";
    }
    return "";
}

// `base` with the parameter of `row` set: every number of it (a colour's
// channels, a scalar) to `number`, and its word (an integer, boolean or tag) 0.
ShaderCall with(ShaderCall base, const oska_param_info &row, int number) {
    const std::vector<ParamDecl> &decls = base.decl->params;
    auto at = std::find_if(decls.begin(), decls.end(), [&](const ParamDecl &d) {
        return d.offset == static_cast<std::size_t>(row.offset);
    });
    const ParamDecl *decl = at == decls.end() ? nullptr : &*at;
    auto it = std::find_if(base.params.begin(), base.params.end(),
                           [&](const ParamSetting &s) { return s.decl == decl; });
    if (it == base.params.end()) {
        it = base.params.insert(it, ParamSetting{});
        it->decl = decl;
    }
    std::fill(std::begin(it->numbers), std::end(it->numbers), static_cast<float>(number));
    it->integer = 0;
    return base;
}

// The colour source, then after its HSV scaling, then after its highlights
// are burnt: the shader's answer with everything that weakens the light off.
json colour_chain(Session &session, const Scene &scene, std::size_t i, oska_state state) {
    const ShaderCall &call = scene.lights[i].shader;
    const lookdev::Roles p(scene.lights[i].shader.shader, session.lights()[i].params);
    const std::string source = colour_source(p);
    const int needed[] = {OSKA_ROLE_EMISSION, OSKA_ROLE_BURN, OSKA_ROLE_HSV};
    if (source.empty() || std::any_of(std::begin(needed), std::end(needed),
                                      [&](int role) { return p.row(role) == nullptr; })) {
        return json::array();
    }
    ShaderCall plain = with(call, *p.row(OSKA_ROLE_EMISSION), 1);
    for (const oska_param_info *row : p.rows(OSKA_PARAM_ATTENUATES)) {
        plain = with(plain, *row, 0);
    }
    ShaderCall after_hsv = with(plain, *p.row(OSKA_ROLE_BURN), 0);
    ShaderCall bare = with(after_hsv, *p.row(OSKA_ROLE_HSV), 0);
    json out = json::array();
    const std::pair<std::string, const ShaderCall *> steps[] = {
        {source, &bare},
        {"after HSV", &after_hsv},
        {std::string("after ") + p.name(OSKA_ROLE_BURN), &plain}};
    for (const auto &[label, variant] : steps) {
        std::vector<oska_state> states{state};
        Session::Answer a = session.evaluate_light_at(i, *variant, states)[0];
        out.push_back({{"label", label},
                       {"rgb", {a.color.r, a.color.g, a.color.b}},
                       {"accepted", a.accepted}});
    }
    return out;
}

// Red, green and blue of `count` answers from `from`; a refused sample is dark.
json series(const std::vector<Session::Answer> &answers, std::size_t from, std::size_t count) {
    json r = json::array(), g = json::array(), b = json::array();
    for (std::size_t k = from; k < from + count; ++k) {
        const Session::Answer &a = answers[k];
        r.push_back(a.accepted ? a.color.r : 0.0f);
        g.push_back(a.accepted ? a.color.g : 0.0f);
        b.push_back(a.accepted ? a.color.b : 0.0f);
    }
    return json{{"r", r}, {"g", g}, {"b", b}};
}

} // namespace

// The light's states for a light sample at the centre of its object's
// first face, head-on, at distance `d`.
json response_curves(Session &session, const Scene &scene, std::size_t i) {
    const BoundLight &bound = session.lights()[i];
    const ShaderCall &call = scene.lights[i].shader;
    const Mesh &mesh = scene.objects[bound.object].mesh;
    const float third = 1.0f / 3.0f;
    SurfacePoint point = surface_point(mesh, 0, third, third, false);
    // The states a light sample of the render would have there, but for the
    // distance and angle each point of a curve sets.
    ShaderStates shading(session.lit());
    shading.set_vectors(bound, mesh, point.uv, 0, third, third);
    auto state_at = [&](double distance, float emission_cosine) {
        oska_state state;
        shading.start(state, bound, OSKA_RAY_LIGHT, distance, nullptr);
        ShaderStates::set_sample(state, distance, -emission_cosine);
        return state;
    };
    const lookdev::Roles p(scene.lights[i].shader.shader, bound.params);
    const float start = p.scalar(OSKA_ROLE_RANGE_START), end = p.scalar(OSKA_ROLE_RANGE_END);
    // A law's range sets the distances shown; otherwise 0 to 10, angles at 1.
    double far = 10, reference = 1;
    if (ranged_decay(p.word(OSKA_ROLE_DECAY)) && end > 0) {
        far = 1.25 * std::max(end, start);
        reference = 0.5 * (std::max(0.0f, start) + end);
    }
    constexpr int kSteps = 200;
    std::vector<oska_state> states;
    json distances = json::array(), angles = json::array();
    for (int s = 1; s <= kSteps; ++s) {
        double d = far * s / kSteps;
        distances.push_back(d);
        states.push_back(state_at(d, 1.0f));
    }
    for (int degrees = 0; degrees <= 180; ++degrees) {
        angles.push_back(degrees);
        states.push_back(state_at(reference, static_cast<float>(std::cos(degrees * kPi / 180))));
    }
    std::vector<Session::Answer> answers = session.evaluate_light_at(i, call, states);
    json distance = series(answers, 0, kSteps);
    distance["x"] = distances;
    describe_distance(distance, p);
    json angle = series(answers, kSteps, 181);
    angle["x"] = angles;
    angle["distance"] = reference;
    describe_angle(angle, p);
    return {{"distance", distance},
            {"angle", angle},
            {"chain", colour_chain(session, scene, i, state_at(1, 1))}};
}

ShaderCall without_emission(const ShaderCall &call, const void *record) {
    const lookdev::Roles p(call.shader, record);
    const oska_param_info *row = p.row(OSKA_ROLE_EMISSION);
    return row == nullptr ? call : with(call, *row, 0);
}

} // namespace oska::render::lookdev
