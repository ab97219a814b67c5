// Where a light's samples go when they follow what each part of the emitter
// can give a shading point.
//
// An emitter's triangles are grouped into a tree of clusters of neighbours
// that face about the same way: up to kWidth at the top, each split into a
// few smaller ones until a few triangles are left, each with a sphere around
// it and a cone around its normals. At a shading point every cluster of a
// level gets a weight from its area, its distance and how it faces the
// point; a sample picks a top cluster by weight, then one of its parts by
// theirs, down to a leaf, and a point in the leaf by area. The sample's
// light is then multiplied by the leaf's share of the area over its
// probability, so that the expected image is that of sampling by area.
//
// A weight is zero only where no point of the cluster can give light: where
// the whole sphere lies behind the receiving surface (such samples are
// never shaded), or, for a light that emits from its front side only, where
// no normal of the cone can face any point of the sphere towards the shading
// point. Everywhere else it stays above a floor, and at each level a share
// of the choices follows area alone, so that no cluster is starved.
#ifndef OSKA_RENDER_LIGHT_BOUNDS_H
#define OSKA_RENDER_LIGHT_BOUNDS_H

#include "area_sampler.h"
#include "vec.h"

#include <oska/host_api.h>

#include <array>
#include <atomic>
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
    // The most parts a cluster is split into (and top clusters), weighed
    // together in one loop.
    static constexpr int kWidth = 16;

    // A shading point as weighed for its samples: the point, and the running
    // probabilities of the top clusters.
    struct Weighing {
        Vec3 position, normal;
        LightTraits traits;
        float running[kWidth] = {};
    };

    // Clusters `mesh`'s triangles; `order()` lists the triangles cluster by
    // cluster, the order the area sampler of the clusters takes them in.
    // A large mesh takes a while: once `cancel` (if set) is raised, the
    // build stops where it is, and the clusters are not to be used.
    explicit EmitterClusters(const Mesh &mesh, const std::atomic<bool> *cancel = nullptr);
    const std::vector<uint32_t> &order() const { return order_; }
    // Ties each cluster to its part of `sampler`'s running area (a sampler
    // made with order()).
    void set_shares(const AreaSampler &sampler);

    // Weighs the top clusters for a point at `position` whose surface has
    // unit normal `normal`, into `weighing`. Gives the sum of their weights
    // (what the emitter can give the point, up to its brightness, as a share
    // of its area over a squared distance, or as the light's decay law
    // says); 0 when no cluster can give light.
    float weigh(Vec3 position, Vec3 normal, const LightTraits &traits, Weighing &weighing) const;
    // Maps `u` in [0, 1) to a number of the area sampler within the leaf it
    // picks, and gives the factor on that sample's light.
    float choose(const Weighing &at, float u, float *area_u) const;

  private:
    // Clusters side by side, field by field, padded with clusters of no area.
    struct Block {
        float centre_x[kWidth] = {}, centre_y[kWidth] = {}, centre_z[kWidth] = {};
        float radius[kWidth] = {}, inverse_radius[kWidth] = {};
        float axis_x[kWidth] = {}, axis_y[kWidth] = {}, axis_z[kWidth] = {}; // of the normal cone
        float cos_spread[kWidth] = {}, sin_spread[kWidth] = {}; // of its half angle; cos <= 0: none
        // The most a normal of the cone reaches from a point of the cluster
        // towards its centre: how far past the centre it may still face.
        float lift[kWidth] = {};
        float low[kWidth] = {}, high[kWidth] = {};       // its part of the sampler's running area
        int32_t parts[kWidth] = {};                      // the block of its parts; -1: a leaf
        uint32_t first[kWidth] = {}, count[kWidth] = {}; // in order_
        int lanes = 0; // the slots in use, rounded up to a whole number of groups
    };
    using Keys = std::vector<std::array<float, 6>>;
    int build(const Mesh &mesh, const Keys &keys, std::size_t begin, std::size_t end, int depth);
    void split(const Keys &keys, std::size_t begin, std::size_t end, int depth,
               std::vector<std::size_t> &ends);
    static void bound(const Mesh &mesh, const uint32_t *triangles, std::size_t count, Block &block,
                      int slot);
    static void weigh_block(const Block &block, const Weighing &at, float *__restrict weights);

    bool stopped() const { return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed); }

    std::vector<uint32_t> order_;
    std::vector<Block> blocks_;                 // the top clusters first
    const std::atomic<bool> *cancel_ = nullptr; // while building
};

// A light's emitter as sampled by bounds: its clusters, an area sampler that
// takes the triangles in their order, and its traits.
struct BoundedEmitter {
    // (`cancel`: see EmitterClusters)
    BoundedEmitter(const Mesh &mesh, const oskacolor_params *params,
                   const std::atomic<bool> *cancel = nullptr);
    EmitterClusters clusters;
    AreaSampler sampler;
    LightTraits traits;
};

} // namespace oska::render

#endif
