// Where a light's samples go when they follow what each part of the emitter
// can give a shading point.
//
// An emitter's triangles are grouped into clusters of neighbours that face
// about the same way (at most kMostClusters), each with a sphere around it
// and a cone around its normals. At a shading point each cluster gets a
// weight from its area, its distance and how it faces the point, and a
// sample picks a cluster by weight and a point in it by area. The sample's
// light is then multiplied by the cluster's share of the area over its
// probability, so that the expected image is that of sampling by area.
//
// A weight is zero only where no point of the cluster can give light: where
// the whole sphere lies behind the receiving surface (such samples are
// never shaded), or, for a light that emits from its front side only, where
// no normal of the cone can face any point of the sphere towards the shading
// point. Everywhere else it stays above a floor, and a share of every
// sample follows area alone, so that no cluster is starved.
#ifndef OSKA_RENDER_LIGHT_BOUNDS_H
#define OSKA_RENDER_LIGHT_BOUNDS_H

#include "geometry.h"
#include "vec.h"

#include <oska/host_api.h>

#include <cstdint>
#include <vector>

namespace oska::render {

// What the light's own parameters say of where it can give light, read
// through its shader's parameter table by the parameters' roles.
struct LightTraits {
    bool front_only = false; // emits from the front side only (directional, or physical decay)
    int law = 0;             // OSKA_DECAY_...
    // The emission colour's mean times its intensity: what the light gives
    // before any texture, vertex colour or decay.
    float brightness = 1;
};

// `params`: the light's record (null: nothing is known, and nothing assumed).
LightTraits traits_of(const oskacolor_params *params);

class EmitterClusters {
  public:
    static constexpr int kMostClusters = 32;

    // Clusters `mesh`'s triangles; `order()` lists the triangles cluster by
    // cluster, the order the area sampler of the clusters takes them in.
    explicit EmitterClusters(const Mesh &mesh);
    const std::vector<uint32_t> &order() const { return order_; }
    // Ties each cluster to its part of `sampler`'s running area (a sampler
    // made with order()).
    void set_shares(const AreaSampler &sampler);
    int size() const { return static_cast<int>(clusters_.size()); }

    // The probability of each cluster for a point at `position` whose
    // surface has unit normal `normal`, as a running sum into `running`
    // (size() entries, the last 1). False when no cluster can give light.
    // `total` (if set) takes the sum of the clusters' weights: what the
    // whole emitter can give the point, up to the light's brightness.
    bool weigh(Vec3 position, Vec3 normal, const LightTraits &traits, float *running,
               float *total = nullptr) const;
    // Maps `u` in [0, 1) to a number of the area sampler within the cluster
    // it picks by `running`, and gives the factor on that sample's light.
    float choose(const float *running, float u, float *area_u) const;

  private:
    struct Cluster {
        Vec3 centre;
        float radius = 0;
        Vec3 axis;                             // of the normal cone
        float cos_spread = -1, sin_spread = 0; // of its half angle; cos -1: no cone
        float area = 0;
        uint32_t first = 0, count = 0; // in order_
        float low = 0, high = 1;       // its part of the sampler's running area
    };
    float weight_of(const Cluster &c, Vec3 position, Vec3 normal, const LightTraits &traits) const;
    void split(const Mesh &mesh, std::vector<uint32_t> &triangles, std::size_t begin,
               std::size_t end, std::size_t leaf);
    void add_cluster(const Mesh &mesh, const std::vector<uint32_t> &triangles, std::size_t begin,
                     std::size_t end);

    std::vector<uint32_t> order_;
    std::vector<Cluster> clusters_;
};

// A light's emitter as sampled by bounds: its clusters, an area sampler that
// takes the triangles in their order, and its traits.
struct BoundedEmitter {
    BoundedEmitter(const Mesh &mesh, const oskacolor_params *params);
    EmitterClusters clusters;
    AreaSampler sampler;
    LightTraits traits;
};

} // namespace oska::render

#endif
