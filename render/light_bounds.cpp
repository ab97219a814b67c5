#include "light_bounds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace oska::render {

namespace {

constexpr oska_param_info kColorRows[] = {OSKACOLOR_PARAMS(OSKA_PARAM_INFO)};

// The word of the first parameter with `flag`; 0 when there is none.
int32_t word_with(const oskacolor_params *params, unsigned flag) {
    for (const oska_param_info &row : kColorRows) {
        if ((static_cast<unsigned>(row.flags) & flag) != 0 && row.size == 4) {
            int32_t word = 0;
            std::memcpy(&word, reinterpret_cast<const unsigned char *>(params) + row.offset, 4);
            return word;
        }
    }
    return 0;
}

// The mean of the emission colour times its intensity (its alpha), or 1
// where that is not a positive finite number.
float brightness_of(const oskacolor_params *params) {
    for (const oska_param_info &row : kColorRows) {
        if ((static_cast<unsigned>(row.flags) & OSKA_PARAM_EMISSION) != 0 && row.size == 16) {
            float rgba[4];
            std::memcpy(rgba, reinterpret_cast<const unsigned char *>(params) + row.offset, 16);
            float value = (rgba[0] + rgba[1] + rgba[2]) / 3 * rgba[3];
            return value > 0 && std::isfinite(value) ? value : 1.0f;
        }
    }
    return 1;
}

// Of the samples, the share that follows area alone, whatever the weights.
constexpr float kAreaShare = 0.25f;
// The least a factor of a weight falls to where light can still arrive.
constexpr float kFloor = 0.02f;

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
        traits.law = word_with(params, OSKA_PARAM_DECAY);
        traits.front_only =
            word_with(params, OSKA_PARAM_FRONT_ONLY) != 0 || traits.law == OSKA_DECAY_PHYSICAL;
        traits.brightness = brightness_of(params);
    }
    return traits;
}

EmitterClusters::EmitterClusters(const Mesh &mesh) {
    std::vector<uint32_t> triangles(mesh.triangle_count());
    std::iota(triangles.begin(), triangles.end(), 0u);
    // Leaves of more than `leaf` triangles are halved: at most twice as many
    // leaves as kMostClusters / 2, each more than leaf / 2.
    std::size_t leaf =
        std::max<std::size_t>(1, (triangles.size() + kMostClusters / 2 - 1) / (kMostClusters / 2));
    split(mesh, triangles, 0, triangles.size(), leaf);
    order_ = std::move(triangles);
}

// Halves the triangles from `begin` to `end` across their widest extent, in
// position and in normal (scaled to the mesh's size), until each part is a
// leaf: neighbours that face alike.
void EmitterClusters::split(const Mesh &mesh, std::vector<uint32_t> &triangles, std::size_t begin,
                            std::size_t end, std::size_t leaf) {
    if (end - begin <= leaf) {
        add_cluster(mesh, triangles, begin, end);
        return;
    }
    float low[6], high[6];
    std::fill(low, low + 6, INFINITY);
    std::fill(high, high + 6, -INFINITY);
    auto key = [&](uint32_t t, float out[6]) {
        Vec3 c = centroid(mesh, t), n = normalize(flat_normal(mesh, t));
        float k[6] = {c.x, c.y, c.z, n.x, n.y, n.z};
        std::copy(k, k + 6, out);
    };
    for (std::size_t i = begin; i < end; ++i) {
        float k[6];
        key(triangles[i], k);
        for (int a = 0; a < 6; ++a) {
            low[a] = std::min(low[a], k[a]);
            high[a] = std::max(high[a], k[a]);
        }
    }
    float size = std::max({high[0] - low[0], high[1] - low[1], high[2] - low[2]});
    int axis = 0;
    for (int a = 1; a < 6; ++a) {
        float scale = a < 3 ? 1 : size;
        if ((high[a] - low[a]) * scale > (high[axis] - low[axis]) * (axis < 3 ? 1 : size)) {
            axis = a;
        }
    }
    std::size_t middle = begin + (end - begin) / 2;
    std::nth_element(triangles.begin() + static_cast<std::ptrdiff_t>(begin),
                     triangles.begin() + static_cast<std::ptrdiff_t>(middle),
                     triangles.begin() + static_cast<std::ptrdiff_t>(end),
                     [&](uint32_t a, uint32_t b) {
                         float ka[6], kb[6];
                         key(a, ka);
                         key(b, kb);
                         return ka[axis] < kb[axis] || (ka[axis] == kb[axis] && a < b);
                     });
    split(mesh, triangles, begin, middle, leaf);
    split(mesh, triangles, middle, end, leaf);
}

// The sphere around the triangles from `begin` to `end` and the cone around
// every normal a point on them can have: their vertex normals, and their own,
// which a point takes where its vertex normals cancel out. Both are widened
// a little against rounding.
void EmitterClusters::add_cluster(const Mesh &mesh, const std::vector<uint32_t> &triangles,
                                  std::size_t begin, std::size_t end) {
    Cluster c;
    c.first = static_cast<uint32_t>(begin);
    c.count = static_cast<uint32_t>(end - begin);
    Vec3 low{INFINITY, INFINITY, INFINITY}, high{-INFINITY, -INFINITY, -INFINITY};
    std::vector<Vec3> normals;
    for (std::size_t i = begin; i < end; ++i) {
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
    c.centre = (low + high) * 0.5f;
    for (std::size_t i = begin; i < end; ++i) {
        const uint32_t *v = &mesh.indices[3 * static_cast<std::size_t>(triangles[i])];
        for (int k = 0; k < 3; ++k) {
            c.radius = std::max(c.radius, length(mesh.positions[v[k]] - c.centre));
        }
    }
    c.radius = c.radius * 1.001f + 1e-6f * length(high - low) + 1e-6f;
    Vec3 sum;
    for (Vec3 n : normals) {
        sum += n;
    }
    if (dot(sum, sum) > 1e-12f) {
        c.axis = normalize(sum);
        float spread = 1;
        for (Vec3 n : normals) {
            spread = std::min(spread, dot(c.axis, n));
        }
        spread -= 1e-3f;
        if (spread > 0) {
            c.cos_spread = spread;
            c.sin_spread = std::sqrt(std::max(0.0f, 1 - spread * spread));
        }
    }
    clusters_.push_back(c);
}

void EmitterClusters::set_shares(const AreaSampler &sampler) {
    for (Cluster &c : clusters_) {
        c.low = c.first > 0 ? sampler.running_share(c.first - 1) : 0.0f;
        c.high = sampler.running_share(c.first + c.count - 1);
    }
}

// What a cluster can give the point, up to a factor: zero only where it can
// give nothing (see the header).
float EmitterClusters::weight_of(const Cluster &c, Vec3 position, Vec3 normal,
                                 const LightTraits &traits) const {
    const float share = c.high - c.low;
    if (!(share > 0)) {
        return 0; // the sampler never lands on a cluster of no area
    }
    Vec3 to_centre = c.centre - position;
    float d = length(to_centre);
    float tolerance = 1e-4f * (d + c.radius) + 1e-6f;
    // The receiving side: no point of the sphere above the surface.
    float rise = dot(normal, to_centre) + c.radius;
    if (rise < -tolerance) {
        return 0;
    }
    float receiver = d > c.radius ? std::clamp(rise / d, kFloor, 1.0f) : 1.0f;
    float emitter = 1;
    if (traits.front_only && c.cos_spread > 0 && d > 0) {
        // The largest dot product of a normal of the cone with the direction
        // from a point of the sphere to the shading point, times the distance.
        float cos_angle = -dot(c.axis, to_centre) / d;
        float cos_gap =
            cos_angle >= c.cos_spread
                ? 1.0f
                : cos_angle * c.cos_spread +
                      std::sqrt(std::max(0.0f, 1 - cos_angle * cos_angle)) * c.sin_spread;
        float facing = d * cos_gap + c.radius;
        if (facing < -tolerance) {
            return 0;
        }
        emitter = std::clamp(facing / std::max(d, c.radius), kFloor, 1.0f);
    }
    float falloff = 1;
    float reach = std::max(d, c.radius);
    if (traits.law == OSKA_DECAY_PHYSICAL || traits.law == OSKA_DECAY_INVERSE_POWER) {
        falloff = 1 / (reach * reach);
    } else if (traits.law == OSKA_DECAY_LINEAR) {
        falloff = 1 / reach;
    }
    return share * receiver * emitter * falloff;
}

bool EmitterClusters::weigh(Vec3 position, Vec3 normal, const LightTraits &traits, float *running,
                            float *total_weight) const {
    const int n = size();
    float weights[kMostClusters];
    float total = 0, open_share = 0;
    int last = -1;
    for (int i = 0; i < n; ++i) {
        weights[i] = weight_of(clusters_[static_cast<std::size_t>(i)], position, normal, traits);
        if (weights[i] > 0 && std::isfinite(weights[i])) {
            total += weights[i];
            open_share += clusters_[static_cast<std::size_t>(i)].high -
                          clusters_[static_cast<std::size_t>(i)].low;
            last = i;
        } else {
            weights[i] = 0;
        }
    }
    if (last < 0 || !(total > 0) || !std::isfinite(total)) {
        return false;
    }
    if (total_weight != nullptr) {
        *total_weight = total;
    }
    float sum = 0;
    for (int i = 0; i < n; ++i) {
        const Cluster &c = clusters_[static_cast<std::size_t>(i)];
        if (weights[i] > 0) {
            sum +=
                (1 - kAreaShare) * weights[i] / total + kAreaShare * (c.high - c.low) / open_share;
        }
        running[i] = i >= last ? 1.0f : sum;
    }
    return true;
}

float EmitterClusters::choose(const float *running, float u, float *area_u) const {
    int k = 0;
    const int last = size() - 1;
    while (k < last && !(running[k] > u)) {
        ++k;
    }
    float before = k > 0 ? running[k - 1] : 0.0f;
    float probability = running[k] - before;
    const Cluster &c = clusters_[static_cast<std::size_t>(k)];
    float rest = std::clamp((u - before) / probability, 0.0f, 0.99999994f);
    float mapped = c.low + rest * (c.high - c.low);
    *area_u = std::clamp(mapped, c.low, std::nextafter(c.high, 0.0f));
    return (c.high - c.low) / probability;
}

BoundedEmitter::BoundedEmitter(const Mesh &mesh, const oskacolor_params *params)
    : clusters(mesh), sampler(mesh, clusters.order()), traits(traits_of(params)) {
    clusters.set_shares(sampler);
}

} // namespace oska::render
