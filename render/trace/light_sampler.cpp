#include "light_sampler.h"

#include "light_bounds.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

namespace oska::render {

namespace {

// With `choose`: the share of a point's samples spread evenly over the
// lights that can light it, whatever their weights.
constexpr float kEvenShare = 0.25f;
constexpr int kBatch = LightBatch::kSize;

bool cancelled(const RenderSettings &settings) {
    return settings.cancel != nullptr && settings.cancel->load(std::memory_order_relaxed);
}

// The first sample of camera sample `camera_index`'s block. Each shading
// point's samples take a block of the sequence whose size is a power of two
// and whose start is a multiple of it: such a block is spread evenly on its
// own, and a point's samples are a scrambled choice from it.
uint32_t block_start(int count, uint32_t camera_index) {
    uint32_t block = 1;
    while (block < static_cast<uint32_t>(count)) {
        block <<= 1;
    }
    return camera_index * block;
}

// A light's `all` samples at a shading point are split over `divisor`
// camera samples, each sample counting as one of all / divisor: camera
// sample `camera_index` takes its share (some may take none) from the block
// the widest share needs.
struct Share {
    int count;
    uint32_t first;
};
Share share_of(int all, uint32_t camera_index, int divisor) {
    const auto j = static_cast<int>(camera_index % static_cast<uint32_t>(divisor));
    const int widest = (all + divisor - 1) / divisor;
    return {all * (j + 1) / divisor - all * j / divisor, block_start(widest, camera_index)};
}

// Each light's clusters as weighed for a shading point (with `bounds` and
// `choose`), and with `choose`, the running probabilities of the lights
// themselves: by the total weight of a light's clusters times its
// brightness and its sample count, with a quarter shared evenly over the
// lights that can light the point, so that a light the weights misjudge is
// still found.
class LightWeights {
  public:
    LightWeights(const LitScene &scene, const std::vector<BoundedEmitter> &bounded,
                 int default_samples)
        : scene_(&scene), bounded_(&bounded), default_samples_(default_samples),
          weighings_(bounded.size()), running_(bounded.size(), 0.0f) {}

    const EmitterClusters::Weighing &of(int index) const {
        return weighings_[static_cast<std::size_t>(index)];
    }

    // Weighs light `index`'s clusters for the point: the total of their
    // weights, 0 when none can light it.
    float weigh(int index, const SurfacePoint &at) {
        const BoundedEmitter &emitter = (*bounded_)[static_cast<std::size_t>(index)];
        return emitter.clusters.weigh(at.position, at.normal, emitter.traits,
                                      weighings_[static_cast<std::size_t>(index)]);
    }

    // Weighs every light but those of `own_object` (a light does not light
    // its own object), and the lights among themselves. False when none can
    // light the point.
    bool weigh_all(const SurfacePoint &at, int own_object) {
        float total = 0;
        int open = 0;
        for (std::size_t i = 0; i < running_.size(); ++i) {
            const BoundLight &light = scene_->lights[i];
            float weight = light.object != own_object ? weigh(static_cast<int>(i), at) : 0.0f;
            if (weight > 0) {
                const int samples = light.samples > 0 ? light.samples : default_samples_;
                weight *= (*bounded_)[i].traits.brightness * static_cast<float>(samples);
                weight = weight > 0 && std::isfinite(weight) ? weight : FLT_MIN;
                total += weight;
                ++open;
            }
            running_[i] = weight;
        }
        if (open == 0) {
            return false;
        }
        const float even = kEvenShare / static_cast<float>(open);
        float sum = 0;
        std::size_t last = 0;
        for (std::size_t i = 0; i < running_.size(); ++i) {
            if (running_[i] > 0) {
                sum += even + (std::isfinite(total) ? (1 - kEvenShare) * running_[i] / total
                                                    : (1 - kEvenShare) / static_cast<float>(open));
                last = i;
            }
            running_[i] = sum;
        }
        std::fill(running_.begin() + static_cast<std::ptrdiff_t>(last), running_.end(), 1.0f);
        return true;
    }

    // The light `u` picks after weigh_all(); `u` becomes what is left of it
    // in [0, 1), and `weight` the sample's factor: 1 / its probability.
    int pick_light(float &u, float &weight) const {
        const int last = static_cast<int>(running_.size()) - 1;
        int k = 0;
        while (k < last && !(running_[static_cast<std::size_t>(k)] > u)) {
            ++k;
        }
        const float before = k > 0 ? running_[static_cast<std::size_t>(k) - 1] : 0.0f;
        const float probability = running_[static_cast<std::size_t>(k)] - before;
        u = std::clamp((u - before) / probability, 0.0f, kOneMinusEpsilon);
        weight = 1 / probability;
        return k;
    }

    // The probability of light `index` after weigh_all().
    float probability(int index) const {
        const auto k = static_cast<std::size_t>(index);
        return running_[k] - (k > 0 ? running_[k - 1] : 0.0f);
    }

  private:
    const LitScene *scene_;
    const std::vector<BoundedEmitter> *bounded_;
    int default_samples_;
    std::vector<EmitterClusters::Weighing> weighings_;
    std::vector<float> running_;
};

// Where `area` draws a light's points: by area over its triangles, every
// part of the emitter taken to light the point.
class ByArea {
  public:
    ByArea(const LitScene &scene, const RenderSettings &) : scene_(&scene) {}

    bool may_light(int, const SurfacePoint &) { return true; }
    void place(int index, float *u1, const float *u2, const float *u3, int n, LightBatch &batch) {
        scene_->lights[static_cast<std::size_t>(index)].sampler->sample(u1, u2, u3, n,
                                                                        batch.points);
    }

  private:
    const LitScene *scene_;
};

// Each light's emitter in clusters, as `bounds` and `choose` draw from them:
// shared by every thread's copy.
using Emitters = std::shared_ptr<const std::vector<BoundedEmitter>>;

// Where `bounds` and `choose` draw a light's points: a cluster by what it
// can give the point (the weights of the last weighing), then a point in it
// by area, its weight multiplied by the cluster's.
class ByBounds {
  public:
    ByBounds(const LitScene &scene, const RenderSettings &settings, Emitters emitters)
        : emitters_(std::move(emitters)), weights(scene, *emitters_, settings.light_samples) {}

    // False when no part of light `index`'s emitter can light the point;
    // weighs its clusters for the point as well.
    bool may_light(int index, const SurfacePoint &at) { return weights.weigh(index, at) > 0; }
    void place(int index, float *u1, const float *u2, const float *u3, int n, LightBatch &batch) {
        const BoundedEmitter &emitter = (*emitters_)[static_cast<std::size_t>(index)];
        for (int k = 0; k < n; ++k) {
            batch.weights[k] *= emitter.clusters.choose(weights.of(index), u1[k], &u1[k]);
        }
        emitter.sampler.sample(u1, u2, u3, n, batch.points);
    }

  private:
    Emitters emitters_; // before the weights, which refer to them

  public:
    // A copy's weights refer to the same shared emitters.
    LightWeights weights;
};

// What `area` and `bounds` share: every light takes its own samples at a
// point, its share of them at each camera sample.
template <class Placement> class EachLight final : public LightSampler {
  public:
    EachLight(const LitScene &scene, const RenderSettings &settings, int divisor,
              Placement placement)
        : LightSampler(divisor), scene_(scene), settings_(settings),
          placement_(std::move(placement)) {}

    Vec3 irradiance(const SurfacePoint &at, int own_object, PixelSampler &numbers,
                    uint32_t camera_index, DirectLight &estimator) override {
        Vec3 total;
        for (std::size_t i = 0; i < scene_.lights.size(); ++i) {
            if (scene_.lights[i].object != own_object) {
                total += of_light(static_cast<int>(i), at, numbers, camera_index, estimator);
            }
        }
        return total;
    }
    float probability(int) const override { return 1; }
    std::unique_ptr<LightSampler> copy() const override {
        return std::make_unique<EachLight>(*this);
    }

  private:
    // Irradiance at the point from light `index`, averaged over its samples
    // for camera sample `camera_index`.
    Vec3 of_light(int index, const SurfacePoint &at, PixelSampler &numbers, uint32_t camera_index,
                  DirectLight &estimator) {
        const BoundLight &light = scene_.lights[static_cast<std::size_t>(index)];
        const int all = light.samples > 0 ? light.samples : settings_.light_samples;
        const Share share = share_of(all, camera_index, divisor());
        if (share.count == 0 || !placement_.may_light(index, at)) {
            return {}; // no samples here, or no part of the emitter can light the point
        }
        // The points are drawn a batch at a time, ahead of the shader calls.
        Vec3 sum;
        batch_.light = index;
        for (int i = 0; i < share.count && !cancelled(settings_); i += kBatch) {
            const int n = std::min(kBatch, share.count - i);
            float u1[kBatch], u2[kBatch], u3[kBatch];
            numbers.light_samples(static_cast<uint32_t>(index),
                                  share.first + static_cast<uint32_t>(i), n, u1, u2, u3);
            batch_.count = n;
            std::fill_n(batch_.weights, n, 1.0f);
            placement_.place(index, u1, u2, third(u3), n, batch_);
            estimator.shade(batch_, at, sum);
        }
        // Each sample is finite (see DirectLight::shade()), but finite
        // samples can still add up past the float range: such a light adds
        // nothing here rather than spoil the pixel.
        return finite(sum) ? sum / (static_cast<float>(all) / static_cast<float>(divisor()))
                           : Vec3{};
    }
    // The third number places a point only for the random sampler.
    const float *third(const float *u3) const {
        return settings_.sampler == SamplerKind::random ? u3 : nullptr;
    }

    const LitScene &scene_;
    const RenderSettings &settings_;
    Placement placement_;
    LightBatch batch_;
};

// `choose`: a point's `light_split` samples at a camera sample, each on the
// light it picks (see LightWeights).
class ChosenLights final : public LightSampler {
  public:
    ChosenLights(const LitScene &scene, const RenderSettings &settings, int divisor,
                 ByBounds placement)
        : LightSampler(divisor), scene_(scene), settings_(settings),
          placement_(std::move(placement)) {}

    Vec3 irradiance(const SurfacePoint &at, int own_object, PixelSampler &numbers,
                    uint32_t camera_index, DirectLight &estimator) override {
        if (!placement_.weights.weigh_all(at, own_object)) {
            open_ = false;
            return {};
        }
        open_ = true;
        const int count = settings_.light_split;
        const uint32_t first = block_start(count, camera_index);
        // One sequence picks the light and places the point on it.
        const auto sequence = static_cast<uint32_t>(scene_.lights.size());
        Vec3 sum;
        for (int i = 0; i < count && !cancelled(settings_); i += kBatch) {
            const int n = std::min(kBatch, count - i);
            float u[3][kBatch], weights[kBatch];
            int light_of[kBatch];
            numbers.light_samples(sequence, first + static_cast<uint32_t>(i), n, u[0], u[1], u[2]);
            for (int k = 0; k < n; ++k) {
                light_of[k] = placement_.weights.pick_light(u[0][k], weights[k]);
            }
            by_light(u, weights, light_of, n, at, estimator, sum);
        }
        return sum / static_cast<float>(count);
    }
    float probability(int index) const override {
        return open_ ? placement_.weights.probability(index) : 0.0f;
    }
    std::unique_ptr<LightSampler> copy() const override {
        return std::make_unique<ChosenLights>(*this);
    }

  private:
    // The samples of each light go to it together, in one batch.
    void by_light(float (&u)[3][kBatch], const float *weights, const int *light_of, int n,
                  const SurfacePoint &at, DirectLight &estimator, Vec3 &sum) {
        bool taken[kBatch] = {};
        for (int k = 0; k < n; ++k) {
            if (taken[k]) {
                continue;
            }
            float v1[kBatch], v2[kBatch], v3[kBatch];
            int m = 0;
            for (int j = k; j < n; ++j) {
                if (!taken[j] && light_of[j] == light_of[k]) {
                    taken[j] = true;
                    v1[m] = u[0][j], v2[m] = u[1][j], v3[m] = u[2][j];
                    batch_.weights[m] = weights[j];
                    ++m;
                }
            }
            batch_.light = light_of[k];
            batch_.count = m;
            placement_.place(light_of[k], v1, v2,
                             settings_.sampler == SamplerKind::random ? v3 : nullptr, m, batch_);
            Vec3 part;
            estimator.shade(batch_, at, part);
            sum += finite(part) ? part : Vec3{};
        }
    }

    const LitScene &scene_;
    const RenderSettings &settings_;
    ByBounds placement_;
    LightBatch batch_;
    bool open_ = false; // some light can light the last point
};

// Each light's emitter in clusters; stops early when the render is
// cancelled (nothing is shaded with them then).
Emitters bounded_emitters(const LitScene &scene, const RenderSettings &settings) {
    auto emitters = std::make_shared<std::vector<BoundedEmitter>>();
    emitters->reserve(scene.lights.size());
    for (const BoundLight &light : scene.lights) {
        if (cancelled(settings)) {
            break;
        }
        emitters->emplace_back(scene.scene->objects[light.object].mesh, light.params,
                               settings.cancel);
    }
    return emitters;
}

} // namespace

std::unique_ptr<LightSampler> make_light_sampler(const LitScene &scene,
                                                 const RenderSettings &settings) {
    if (settings.light_sampling == LightSampling::area) {
        return std::make_unique<EachLight<ByArea>>(scene, settings, 1, ByArea(scene, settings));
    }
    // The camera samples each camera sample asked for becomes: as many as
    // make up the light samples the scene gives a light at one camera
    // sample, taken `light_split` at a time.
    const int divisor = std::max(1, settings.light_samples / std::max(1, settings.light_split));
    ByBounds placement(scene, settings, bounded_emitters(scene, settings));
    if (settings.light_sampling == LightSampling::bounds) {
        return std::make_unique<EachLight<ByBounds>>(scene, settings, divisor,
                                                     std::move(placement));
    }
    return std::make_unique<ChosenLights>(scene, settings, divisor, std::move(placement));
}

} // namespace oska::render
