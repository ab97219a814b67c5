#include "area_sampler.h"

#include <algorithm>
#include <cmath>

namespace oska::render {

namespace {

void vertices_of(const Mesh &mesh, uint32_t triangle, uint32_t v[3]) {
    for (int i = 0; i < 3; ++i) {
        v[i] = mesh.indices[3 * static_cast<std::size_t>(triangle) + i];
    }
}

} // namespace

AreaSampler::AreaSampler(const Mesh &mesh) : AreaSampler(mesh, {}) {}

AreaSampler::AreaSampler(const Mesh &mesh, const std::vector<uint32_t> &order) : source_(order) {
    cdf_.reserve(mesh.triangle_count());
    triangles_.reserve(mesh.triangle_count());
    double running = 0;
    for (std::size_t i = 0; i < mesh.triangle_count(); ++i) {
        uint32_t v[3];
        vertices_of(mesh, source_.empty() ? static_cast<uint32_t>(i) : source_[i], v);
        const Vec3 &a = mesh.positions[v[0]];
        Triangle triangle;
        triangle.corner = a;
        triangle.edge1 = mesh.positions[v[1]] - a;
        triangle.edge2 = mesh.positions[v[2]] - a;
        triangle.normal0 = mesh.normals[v[0]];
        triangle.normal1 = mesh.normals[v[1]];
        triangle.normal2 = mesh.normals[v[2]];
        triangle.uv0 = mesh.uvs[v[0]];
        triangle.uv1 = mesh.uvs[v[1]];
        triangle.uv2 = mesh.uvs[v[2]];
        Vec3 across = cross(triangle.edge1, triangle.edge2);
        triangle.flat_normal = normalize(across);
        triangle.flat =
            triangle.normal0 == triangle.normal1 && triangle.normal1 == triangle.normal2;
        float n2 = dot(triangle.normal0, triangle.normal0);
        triangle.unit_normal =
            n2 > 0.25f ? triangle.normal0 * (1 / std::sqrt(n2)) : triangle.flat_normal;
        triangles_.push_back(triangle);
        running += 0.5 * length(across);
        cdf_.push_back(static_cast<float>(running));
    }
    total_ = static_cast<float>(running);
    for (float &value : cdf_) {
        value = running > 0 ? static_cast<float>(value / running) : 1.0f;
    }
    std::size_t steps = std::max<std::size_t>(1, cdf_.size());
    guide_.resize(steps);
    uint32_t t = 0;
    for (std::size_t k = 0; k < steps; ++k) {
        float low = static_cast<float>(k) / static_cast<float>(steps);
        while (t + 1 < cdf_.size() && !(cdf_[t] > low)) {
            ++t;
        }
        guide_[k] = t;
    }
    // The widest span a pick searches, up to a power of two.
    for (std::size_t k = 0; k < steps && !cdf_.empty(); ++k) {
        std::size_t end = k + 1 < steps ? guide_[k + 1] : cdf_.size() - 1;
        while (search_ < end - guide_[k] + 1) {
            search_ *= 2;
        }
    }
}

// The first triangle whose running share is above u (the last if none is).
inline uint32_t AreaSampler::pick_triangle(float u) const {
    auto step = std::min(static_cast<std::size_t>(u * static_cast<float>(guide_.size())),
                         guide_.size() - 1);
    // The answer lies from the step's first triangle to the next step's: a
    // search in halves over the widest such span, the same number of steps
    // for every u, whose choices are selects, not branches, since which way
    // u goes is a coin toss a branch predictor would lose. Past the last
    // triangle the search sees the last share, which ends at 1.
    const auto last = static_cast<uint32_t>(cdf_.size() - 1);
    uint32_t t = guide_[step];
    for (uint32_t half = search_ / 2; half > 0; half /= 2) {
        t = cdf_[std::min(t + half - 1, last)] > u ? t : t + half;
    }
    t = std::min(t, last);
    while (t > 0 && cdf_[t - 1] > u) { // where rounding put u in the next step
        --t;
    }
    while (t < last && !(cdf_[t] > u)) {
        ++t;
    }
    return t;
}

// A batch in stages, each a loop over the batch: the scalar stages read the
// triangles, the others are arithmetic alone (a division, square roots), which
// the compiler runs several points at a time in vector registers instead of
// waiting on each point's in turn. Each point's arithmetic is the same as one
// point's on its own, so the bits are too.
void AreaSampler::sample(const float *u1, const float *u2, const float *u3, int count,
                         EmitterPoint *points) const {
    for (int start = 0; start < count; start += kStage) {
        const int n = std::min(kStage, count - start);
        float b1[kStage], b2[kStage];
        pick_stage(u1 + start, u2 + start, u3 != nullptr ? u3 + start : nullptr, n, points + start,
                   b1, b2);
        place_stage(b1, b2, n, points + start);
    }
    if (!source_.empty()) {
        for (int k = 0; k < count; ++k) {
            points[k].triangle = source_[points[k].triangle];
        }
    }
}

// Each point's triangle, into `out`, and its barycentric coordinates.
void AreaSampler::pick_stage(const float *u1, const float *u2, const float *u3, int n,
                             EmitterPoint *out, float *b1, float *b2) const {
    float low[kStage], share[kStage], radial[kStage], along[kStage];
    for (int k = 0; k < n; ++k) {
        uint32_t index = pick_triangle(u1[k]);
        out[k].triangle = index;
        low[k] = index > 0 ? cdf_[index - 1] : 0.0f;
        share[k] = cdf_[index] - low[k];
        // A triangle of no area keeps the number as it is.
        if (!(share[k] > 0)) {
            low[k] = 0;
            share[k] = 1;
        }
    }
    if (u3 != nullptr) {
        std::copy_n(u2, n, radial);
        std::copy_n(u3, n, along);
    } else {
        // What is left of the first number past the triangle's share,
        // scaled to [0, 1); rounding may carry it to 1 or a hair below 0.
        for (int k = 0; k < n; ++k) {
            float rest = (u1[k] - low[k]) / share[k];
            radial[k] = std::min(std::max(rest, 0.0f), kOneMinusEpsilon);
        }
        std::copy_n(u2, n, along);
    }
    // Uniform over the triangle: fold the unit square onto it.
    for (int k = 0; k < n; ++k) {
        float root = std::sqrt(radial[k]);
        b1[k] = root * (1 - along[k]);
        b2[k] = root * along[k];
    }
}

// Each point's position, texture coordinate and unit normal from its
// triangle and barycentric coordinates.
void AreaSampler::place_stage(const float *b1, const float *b2, int n, EmitterPoint *out) const {
    float length2[kStage], inverse[kStage];
    for (int k = 0; k < n; ++k) {
        const Triangle &t = triangles_[out[k].triangle];
        EmitterPoint &p = out[k];
        p.b1 = b1[k];
        p.b2 = b2[k];
        float b0 = 1 - p.b1 - p.b2;
        p.position = t.corner + t.edge1 * p.b1 + t.edge2 * p.b2;
        p.uv = t.uv0 * b0 + t.uv1 * p.b1 + t.uv2 * p.b2;
        if (t.flat) {
            p.normal = t.unit_normal;
            length2[k] = 1;
            continue;
        }
        p.normal = t.normal0 * b0 + t.normal1 * p.b1 + t.normal2 * p.b2;
        length2[k] = dot(p.normal, p.normal);
    }
    for (int k = 0; k < n; ++k) {
        inverse[k] = 1 / std::sqrt(length2[k]);
    }
    for (int k = 0; k < n; ++k) {
        const Triangle &t = triangles_[out[k].triangle];
        EmitterPoint &p = out[k];
        // Opposite vertex normals can cancel out: the triangle's own
        // normal then. A flat triangle's is known.
        if (!t.flat) {
            p.normal = length2[k] > 0.25f ? p.normal * inverse[k] : t.flat_normal;
        }
    }
}

} // namespace oska::render
