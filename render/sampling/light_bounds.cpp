#include "light_bounds.h"

#include "declarations.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>

namespace oska::render {

namespace {

// The mean of the emission colour times its intensity (its alpha), or 1
// where that is not a positive finite number.
float brightness_of(const Roles &p) {
    const oska_color c = p.color(OSKA_ROLE_EMISSION);
    const float value = (c.r + c.g + c.b) / 3 * c.a;
    return value > 0 && std::isfinite(value) ? value : 1.0f;
}

// Of the samples, the share that follows area alone, whatever the weights.
constexpr float kAreaShare = 0.1f;
// The least a factor of a weight falls to where light can still arrive.
constexpr float kLeastFactor = 0.02f;

// Halvings of the emitter into its top clusters: 2^kTopDepth = kWidth of
// them at most, weighed once for all of a shading point's samples; and of a
// cluster into its parts, weighed at every sample that descends through it.
constexpr int kTopDepth = 4;
constexpr int kPartDepth = 2;
static_assert(1 << kTopDepth == EmitterClusters::kWidth && kPartDepth <= kTopDepth);
// Clusters of more triangles than this are split into parts.
constexpr std::size_t kLeaf = 3;

// Clusters are weighed in groups of this many, a vector register's floats.
constexpr int kGroup = 4;

// The index of the first of `running` (`lanes` entries, the last 1) above
// `u`, in [0, 1).
int pick_cluster(const float *running, int lanes, float u) {
    int k = 0;
    for (int i = 0; i + 1 < lanes; ++i) {
        k += running[i] <= u ? 1 : 0;
    }
    return k;
}

// The running probabilities of a block's clusters from their weights, into
// `running`: a share follows area among those that can give light, the rest
// the weights. Gives the sum of the weights; 0 (and `running` unset) when
// none can give light.
float running_of(const float *low, const float *high, int lanes, const float *weights,
                 float *running) {
    // Selects rather than branches: which clusters are open is as good as
    // random to the processor.
    float total = 0, open_share = 0;
    int last = -1;
    for (int i = 0; i < lanes; ++i) {
        const bool open = weights[i] > 0;
        total += weights[i]; // 0 where shut
        open_share += open ? high[i] - low[i] : 0.0f;
        last = open ? i : last;
    }
    if (last < 0 || !(total > 0) || !(total <= FLT_MAX)) {
        return 0;
    }
    const float by_weight = (1 - kAreaShare) / total, by_area = kAreaShare / open_share;
    float sum = 0;
    for (int i = 0; i < lanes; ++i) {
        sum += weights[i] > 0 ? by_weight * weights[i] + by_area * (high[i] - low[i]) : 0.0f;
        running[i] = i >= last ? 1.0f : sum;
    }
    return total;
}

struct Cone {
    Vec3 axis;
    float cos_spread = -1; // of its half angle; -1: no cone narrower than a half space
};

Cone cone_around(const std::vector<Vec3> &normals) {
    Cone cone;
    Vec3 sum;
    for (Vec3 n : normals) {
        sum += n;
    }
    if (dot(sum, sum) > 1e-12f) {
        cone.axis = normalize(sum);
        float spread = 1;
        for (Vec3 n : normals) {
            spread = std::min(spread, dot(cone.axis, n));
        }
        spread -= 1e-3f;
        cone.cos_spread = spread > 0 ? spread : -1;
    }
    return cone;
}

// The largest dot product of a normal of `cone` with the way from a vertex
// of the triangles to `centre`. It is also the largest from any of their
// points: the greatest over the cone, a maximum of linear functions of the
// point, is convex in it and so peaks at a corner.
float lift_of(const Mesh &mesh, const uint32_t *triangles, std::size_t count, Vec3 centre,
              const Cone &cone) {
    const float spread = std::acos(std::clamp(cone.cos_spread, -1.0f, 1.0f));
    float lift = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(triangles[i])];
        for (int k = 0; k < 3; ++k) {
            Vec3 way = centre - mesh.positions[v[k]];
            float size = length(way);
            if (size > 0) {
                float angle = std::acos(std::clamp(dot(cone.axis, way) / size, -1.0f, 1.0f));
                lift = std::max(lift, size * std::cos(std::max(0.0f, angle - spread)));
            }
        }
    }
    return lift;
}

Vec3 centroid(const Mesh &mesh, uint32_t t) {
    const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(t)];
    return (mesh.positions[v[0]] + mesh.positions[v[1]] + mesh.positions[v[2]]) * (1.0f / 3);
}

Vec3 flat_normal(const Mesh &mesh, uint32_t t) {
    const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(t)];
    return cross(mesh.positions[v[1]] - mesh.positions[v[0]],
                 mesh.positions[v[2]] - mesh.positions[v[0]]);
}

} // namespace

LightTraits traits_of(const oskacolor_params *params) {
    LightTraits traits;
    if (params != nullptr) {
        const Roles p("oskacolor", params);
        traits.law = p.word(OSKA_ROLE_DECAY);
        traits.front_only = p.word(OSKA_ROLE_FRONT_ONLY) != 0 || traits.law == OSKA_DECAY_PHYSICAL;
        traits.brightness = brightness_of(p);
    }
    return traits;
}

EmitterClusters::EmitterClusters(const Mesh &mesh, const std::atomic<bool> *cancel)
    : cancel_(cancel) {
    Keys keys(mesh.triangle_count());
    for (std::size_t t = 0; t < keys.size(); ++t) {
        Vec3 c = centroid(mesh, static_cast<uint32_t>(t));
        Vec3 n = flat_normal(mesh, static_cast<uint32_t>(t));
        n = dot(n, n) > 0 ? normalize(n) : Vec3{};
        keys[t] = {c.x, c.y, c.z, n.x, n.y, n.z};
    }
    order_.resize(keys.size());
    std::iota(order_.begin(), order_.end(), 0u);
    build(mesh, keys, 0, order_.size(), kTopDepth);
    cancel_ = nullptr;
}

// Makes a block of the clusters the triangles from `begin` to `end` of
// order_ split into (by `depth` halvings), and the blocks of their parts in
// turn; gives its index.
// NOLINTNEXTLINE(misc-no-recursion): one level per block of the tree, a few deep
int EmitterClusters::build(const Mesh &mesh, const Keys &keys, std::size_t begin, std::size_t end,
                           int depth) {
    const auto index = static_cast<int>(blocks_.size());
    blocks_.emplace_back();
    std::vector<std::size_t> ends;
    // A stop leaves the rest of the tree unbuilt (split() looks at each
    // halving, a pass over its triangles).
    if (end > begin && !stopped()) {
        split(keys, begin, end, depth, ends);
    }
    std::size_t from = begin;
    for (std::size_t slot = 0; slot < ends.size() && !stopped(); ++slot) {
        const std::size_t count = ends[slot] - from;
        Block &block = blocks_[static_cast<std::size_t>(index)];
        bound(mesh, &order_[from], count, block, static_cast<int>(slot));
        block.first[slot] = static_cast<uint32_t>(from);
        block.count[slot] = static_cast<uint32_t>(count);
        // (building the parts adds blocks: `block` is not used past here)
        const int parts = count > kLeaf ? build(mesh, keys, from, ends[slot], kPartDepth) : -1;
        blocks_[static_cast<std::size_t>(index)].parts[slot] = parts;
        from = ends[slot];
    }
    const auto used = static_cast<int>(ends.size());
    blocks_[static_cast<std::size_t>(index)].lanes = (used + kGroup - 1) / kGroup * kGroup;
    return index;
}

// Halves the triangles from `begin` to `end` of order_ across the widest
// extent of their keys, in position and in normal (scaled to the part's
// size), `depth` times or down to single triangles: neighbours that face
// alike. The end of each part goes into `ends`.
// NOLINTNEXTLINE(misc-no-recursion): `depth` halvings at most
void EmitterClusters::split(const Keys &keys, std::size_t begin, std::size_t end, int depth,
                            std::vector<std::size_t> &ends) {
    if (depth == 0 || end - begin <= 1 || stopped()) {
        ends.push_back(end);
        return;
    }
    std::array<float, 6> low, high;
    low.fill(INFINITY);
    high.fill(-INFINITY);
    for (std::size_t i = begin; i < end; ++i) {
        for (std::size_t a = 0; a < 6; ++a) {
            low[a] = std::min(low[a], keys[order_[i]][a]);
            high[a] = std::max(high[a], keys[order_[i]][a]);
        }
    }
    float size = std::max({high[0] - low[0], high[1] - low[1], high[2] - low[2]});
    auto extent = [&](std::size_t a) { return (high[a] - low[a]) * (a < 3 ? 1 : size); };
    std::size_t axis = 0;
    for (std::size_t a = 1; a < 6; ++a) {
        if (extent(a) > extent(axis)) {
            axis = a;
        }
    }
    std::size_t middle = begin + (end - begin) / 2;
    auto at = [this](std::size_t i) { return order_.begin() + static_cast<std::ptrdiff_t>(i); };
    std::nth_element(at(begin), at(middle), at(end), [&](uint32_t a, uint32_t b) {
        // Ties go by the triangles' numbers, so the order is the same everywhere.
        return keys[a][axis] < keys[b][axis] ||
               (keys[a][axis] == keys[b][axis] && std::less<uint32_t>{}(a, b));
    });
    split(keys, begin, middle, depth - 1, ends);
    split(keys, middle, end, depth - 1, ends);
}

// The sphere around `count` triangles and the cone around every normal a
// point on them can have: their vertex normals, and their own, which a point
// takes where its vertex normals cancel out. Both are widened a little
// against rounding.
void EmitterClusters::bound(const Mesh &mesh, const uint32_t *triangles, std::size_t count,
                            Block &block, int slot) {
    Vec3 low{INFINITY, INFINITY, INFINITY}, high{-INFINITY, -INFINITY, -INFINITY};
    std::vector<Vec3> normals;
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(triangles[i])];
        for (int k = 0; k < 3; ++k) {
            Vec3 p = mesh.positions[v[k]];
            low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
            high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
            normals.push_back(normalize(mesh.normals[v[k]]));
        }
        Vec3 own = flat_normal(mesh, triangles[i]);
        if (dot(own, own) > 0) {
            normals.push_back(normalize(own));
        }
    }
    Vec3 centre = (low + high) * 0.5f;
    float radius = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(triangles[i])];
        for (int k = 0; k < 3; ++k) {
            radius = std::max(radius, length(mesh.positions[v[k]] - centre));
        }
    }
    block.centre_x[slot] = centre.x;
    block.centre_y[slot] = centre.y;
    block.centre_z[slot] = centre.z;
    block.radius[slot] = radius * 1.001f + 1e-6f * length(high - low) + 1e-6f;
    block.inverse_radius[slot] = 1 / block.radius[slot]; // finite: the radius is at least 1e-6
    Cone cone = cone_around(normals);
    block.axis_x[slot] = cone.axis.x;
    block.axis_y[slot] = cone.axis.y;
    block.axis_z[slot] = cone.axis.z;
    block.cos_spread[slot] = cone.cos_spread;
    block.sin_spread[slot] = std::sqrt(std::max(0.0f, 1 - cone.cos_spread * cone.cos_spread));
    block.lift[slot] =
        lift_of(mesh, triangles, count, centre, cone) * 1.001f + 1e-6f * length(high - low) + 1e-6f;
}

void EmitterClusters::set_shares(const AreaSampler &sampler) {
    for (Block &block : blocks_) {
        for (int i = 0; i < kWidth; ++i) {
            if (block.count[i] > 0) {
                block.low[i] = block.first[i] > 0 ? sampler.running_share(block.first[i] - 1) : 0;
                block.high[i] = sampler.running_share(block.first[i] + block.count[i] - 1);
            }
        }
    }
}

// What each cluster of `block` can give the point, up to a factor: zero
// only where it can give nothing (see the header). One pass over the
// fields, every value found for every cluster and then chosen, so that the
// loop runs in vector registers.
void EmitterClusters::weigh_block(const Block &b, const Weighing &at, float *__restrict weights) {
    const Vec3 x = at.position, n = at.normal;
    // The decay law as powers of the inverse distance: 1, 1/d or 1/d^2.
    const int law = at.traits.law;
    const float linear =
        law == OSKA_DECAY_PHYSICAL || law == OSKA_DECAY_INVERSE_POWER || law == OSKA_DECAY_LINEAR
            ? 1.0f
            : 0.0f;
    const float square =
        law == OSKA_DECAY_PHYSICAL || law == OSKA_DECAY_INVERSE_POWER ? 1.0f : 0.0f;
    const bool front_only = at.traits.front_only;
    // Groups of a fixed size, each a loop the compiler runs in vector registers.
    for (int group = 0; group < b.lanes; group += kGroup) {
        for (int i = group; i < group + kGroup; ++i) {
            const float tx = b.centre_x[i] - x.x, ty = b.centre_y[i] - x.y,
                        tz = b.centre_z[i] - x.z;
            // (every field read here, none only where a select needs it, so
            // that the compiler may read them all at once)
            const float r = b.radius[i], inverse_r = b.inverse_radius[i];
            const float share = b.high[i] - b.low[i];
            const float cos_spread = b.cos_spread[i], sin_spread = b.sin_spread[i];
            const float d = std::sqrt(tx * tx + ty * ty + tz * tz);
            const float tolerance = 1e-4f * (d + r) + 1e-6f;
            const float inverse_d = 1 / std::max(d, 1e-30f);
            const float inverse_reach = d > r ? inverse_d : inverse_r; // 1 / max(d, r)
            // The receiving side: some point of the sphere above the surface.
            const float rise = n.x * tx + n.y * ty + n.z * tz + r;
            const float slope = std::min(std::max(rise * inverse_d, kLeastFactor), 1.0f);
            const float receiver = d > r ? slope : 1.0f;
            // The largest dot product of a normal of the cone with the direction
            // from a point of the sphere to the shading point, times the distance.
            const float cos_angle =
                -(b.axis_x[i] * tx + b.axis_y[i] * ty + b.axis_z[i] * tz) * inverse_d;
            const float sin_angle = std::sqrt(std::max(0.0f, 1 - cos_angle * cos_angle));
            const float cos_outside = cos_angle * cos_spread + sin_angle * sin_spread;
            const float cos_gap = cos_angle >= cos_spread ? 1.0f : cos_outside;
            const float facing = d * cos_gap + b.lift[i];
            // Bitwise, not short-circuit: no branch in the loop.
            const bool faces = front_only & (cos_spread > 0) & (d > 0);
            const float towards = std::min(std::max(facing * inverse_reach, kLeastFactor), 1.0f);
            const float emitter = faces ? towards : 1.0f;
            const float falloff =
                (1 + linear * (inverse_reach - 1)) * (1 + square * (inverse_reach - 1));
            const float weight = share * receiver * emitter * falloff;
            const bool open = (share > 0) & (rise >= -tolerance) &
                              (!faces | (facing >= -tolerance)) &
                              (weight <= FLT_MAX); // not NaN either
            weights[i] = open ? weight : 0.0f;
        }
    }
}

float EmitterClusters::weigh(Vec3 position, Vec3 normal, const LightTraits &traits,
                             Weighing &weighing) const {
    weighing.position = position;
    weighing.normal = normal;
    weighing.traits = traits;
    float weights[kWidth];
    const Block &top = blocks_.front();
    weigh_block(top, weighing, weights);
    return running_of(top.low, top.high, top.lanes, weights, weighing.running);
}

float EmitterClusters::choose(const Weighing &at, float u, float *area_u) const {
    const float *running = at.running;
    float weights[kWidth], parts_running[kWidth];
    double v = u, probability = 1;
    const Block *block = &blocks_.front();
    for (;;) {
        const int k = pick_cluster(running, block->lanes, static_cast<float>(v));
        const double before = k > 0 ? running[k - 1] : 0.0;
        const double p = running[k] - before;
        probability *= p;
        // (below 1 as a float too, or the next pick could fall past the end)
        v = std::clamp((v - before) / p, 0.0, static_cast<double>(kOneMinusEpsilon));
        if (const int parts = block->parts[k]; parts >= 0) {
            const Block &next = blocks_[static_cast<std::size_t>(parts)];
            weigh_block(next, at, weights);
            if (running_of(next.low, next.high, next.lanes, weights, parts_running) > 0) {
                running = parts_running;
                block = &next;
                continue;
            }
            // None of its parts can give light, nor then any sample of it.
        }
        // A leaf: a point in it by area.
        const float low = block->low[k], high = block->high[k];
        const float mapped = low + static_cast<float>(v) * (high - low);
        *area_u = std::clamp(mapped, low, std::nextafter(high, 0.0f));
        return static_cast<float>((high - low) / probability);
    }
}

BoundedEmitter::BoundedEmitter(const Mesh &mesh, const oskacolor_params *params,
                               const std::atomic<bool> *cancel)
    : clusters(mesh, cancel), sampler(mesh, clusters.order()), traits(traits_of(params)) {
    clusters.set_shares(sampler);
}

} // namespace oska::render
