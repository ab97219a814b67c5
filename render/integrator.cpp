#include "integrator.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace oska::render {

namespace {

constexpr float kPi = 3.14159265358979f;

// A small, fast generator (PCG32) with a seed of the pixel's own.
class Random {
  public:
    explicit Random(uint64_t seed) {
        state_ = 0;
        next();
        state_ += seed;
        next();
    }
    uint32_t next() {
        uint64_t old = state_;
        state_ = old * 6364136223846793005ull + 1442695040888963407ull;
        auto shifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
        auto rot = static_cast<uint32_t>(old >> 59u);
        return (shifted >> rot) | (shifted << ((~rot + 1u) & 31u));
    }
    // Uniform in [0, 1).
    float uniform() { return static_cast<float>(next() >> 8) * (1.0f / 16777216.0f); }

  private:
    uint64_t state_;
};

uint64_t pixel_seed(int x, int y) {
    uint64_t z = (static_cast<uint64_t>(static_cast<uint32_t>(y)) << 32) | static_cast<uint32_t>(x);
    z += 0x9E3779B97F4A7C15ull; // splitmix64 finaliser
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Rejection classify(const BoundLight &light, float emission_cosine, unsigned char orientation,
                   double distance, const oska_vector *vectors) {
    const oskacolor_params &p = *light.params;
    if (p.directional && (orientation == 0 || !(emission_cosine > p.cutoff))) {
        return orientation == 0 ? Rejection::behind : Rejection::cutoff;
    }
    if (p.decay == 1 || p.decay == 2) {
        double end = p.decay_end;
        if (p.use_vertex_color && p.vc_range) {
            end *= vectors[2 * p.vc_range_channel].x;
        }
        if (!(end > distance)) {
            return Rejection::range;
        }
    }
    if (p.decay == 3 && !(emission_cosine > 0)) {
        return Rejection::behind;
    }
    return Rejection::threshold;
}

// Everything one thread needs: its counters and the vector list it hands to
// the light shader.
struct Worker {
    const Session &session;
    const RenderSettings &settings;
    Stats stats;
    std::vector<oska_vector> vectors;

    Worker(const Session &s, const RenderSettings &r) : session(s), settings(r) {
        int most = 1;
        for (const BoundLight &light : s.lights()) {
            most = std::max(most, light.vector_count);
        }
        vectors.assign(static_cast<std::size_t>(most), oska_vector{0, 0, 0});
    }

    oska_state state_for(const BoundLight &light, int ray_kind, double distance) {
        oska_state state{};
        state.function = &light.shader->function;
        state.ray_kind = ray_kind;
        state.distance = distance;
        state.light_instance = light.instance;
        state.sample = &state; // patched by the caller once the state is in place
        state.parent = &state;
        state.vectors = vectors.data();
        state.vector_count = light.vector_count;
        return state;
    }

    void set_vectors(const BoundLight &light, const Mesh &mesh, Vec3 uv, uint32_t triangle,
                     float b1, float b2) {
        vectors[0] = {uv.x, uv.y, uv.z};
        for (int n = 1; 2 * n < light.vector_count; ++n) {
            Vec3 v = channel_at(mesh, static_cast<std::size_t>(n), triangle, b1, b2);
            vectors[2 * n] = {v.x, v.y, v.z};
        }
    }

    // The emitter's own brightness, as the light shader answers an eye ray.
    Vec3 emission(const BoundLight &light, const Hit &hit, const SurfacePoint &point) {
        const Mesh &mesh = session.scene().objects[light.object].mesh;
        set_vectors(light, mesh, point.uv, hit.triangle, hit.b1, hit.b2);
        oska_state state = state_for(light, OSKA_RAY_EYE, hit.distance);
        state.sample = state.parent = &state;
        oska_color color{0, 0, 0, 0};
        ++stats.shader_calls;
        if (!session.light_shader()(&color, &state, light.shader->record())) {
            return {};
        }
        return {color.r, color.g, color.b};
    }

    // Irradiance at the point from `light`, averaged over its samples.
    Vec3 irradiance(const BoundLight &light, const SurfacePoint &at, Random &random) {
        int count = light.samples > 0 ? light.samples : settings.light_samples;
        const Mesh &mesh = session.scene().objects[light.object].mesh;
        const float eps = session.geometry().epsilon();
        Vec3 from = at.position + at.geometric_normal * eps;
        Vec3 sum;
        for (int i = 0; i < count; ++i) {
            uint32_t triangle;
            float b1, b2;
            light.sampler->sample(random.uniform(), random.uniform(), random.uniform(), &triangle,
                                  &b1, &b2);
            ++stats.light_samples;
            SurfacePoint sample = surface_point(mesh, triangle, b1, b2, false);
            Vec3 to_sample = sample.position - at.position;
            float distance = length(to_sample);
            if (!(distance > eps)) {
                continue;
            }
            Vec3 w = to_sample / distance;
            float receiver_cosine = dot(at.normal, w);
            if (!(receiver_cosine > 0)) {
                ++stats.facing_away;
                continue;
            }
            // The emission dot product points from the shaded point to the
            // sample: its negation, the emission cosine, is positive where the
            // sample faces the point.
            float emission_dot = dot(sample.normal, w);
            float emission_cosine = -emission_dot;
            set_vectors(light, mesh, sample.uv, triangle, b1, b2);
            oska_state state = state_for(light, OSKA_RAY_LIGHT, distance);
            state.sample = state.parent = &state;
            state.emission_dot = emission_dot;
            state.orientation = emission_cosine > 0 ? 1 : 0;
            ShadowQuery query{from, sample.position, &stats.shadow_rays};
            state.host_data = &query;
            oska_color color{0, 0, 0, 0};
            ++stats.shader_calls;
            if (session.light_shader()(&color, &state, light.shader->record())) {
                sum += Vec3{color.r, color.g, color.b} * receiver_cosine;
            } else {
                Rejection why =
                    classify(light, emission_cosine, state.orientation, distance, vectors.data());
                ++stats.rejected[static_cast<int>(why)];
            }
        }
        return sum / static_cast<float>(count);
    }

    Vec3 albedo(const ObjectDesc &object, Vec3 uv) const {
        if (object.material < 0) {
            return {0.75f, 0.75f, 0.75f};
        }
        const MaterialDesc &material = session.scene().materials[object.material];
        if (material.texture < 0) {
            return material.color;
        }
        oska_color texel;
        session.textures().lookup(material.texture, uv.x * material.repeat_u,
                                  uv.y * material.repeat_v, true, &texel);
        return material.color * Vec3{texel.r, texel.g, texel.b};
    }

    Vec3 radiance(const Ray &ray, Random &random) {
        ++stats.camera_rays;
        Hit hit = session.geometry().intersect(ray.origin, ray.direction);
        if (hit.object < 0) {
            return session.scene().background;
        }
        const ObjectDesc &object = session.scene().objects[hit.object];
        SurfacePoint point = surface_point(object.mesh, hit.triangle, hit.b1, hit.b2);
        Vec3 result;
        for (int index : session.lights_of_object(hit.object)) {
            result += emission(session.lights()[index], hit, point);
        }
        // Shade the side the camera sees.
        if (dot(point.geometric_normal, ray.direction) > 0) {
            point.geometric_normal = -point.geometric_normal;
            point.normal = -point.normal;
        }
        Vec3 irradiance_sum;
        for (const BoundLight &light : session.lights()) {
            if (light.object != hit.object) { // a light does not light its own object
                irradiance_sum += irradiance(light, point, random);
            }
        }
        return result + albedo(object, point.uv) * irradiance_sum;
    }

    void render_row(int y, Framebuffer &image) {
        if (settings.cancel != nullptr && settings.cancel->load(std::memory_order_relaxed)) {
            return;
        }
        const Scene &scene = session.scene();
        for (int x = 0; x < settings.width; ++x) {
            Random random(pixel_seed(x, y));
            Vec3 sum;
            for (int s = 0; s < settings.spp; ++s) {
                float jx = settings.spp == 1 ? 0.5f : random.uniform();
                float jy = settings.spp == 1 ? 0.5f : random.uniform();
                Ray ray = camera_ray(scene.camera, settings.width, settings.height,
                                     static_cast<float>(x) + jx, static_cast<float>(y) + jy);
                sum += radiance(ray, random);
            }
            Vec3 pixel = sum / static_cast<float>(settings.spp);
            float *out = &image.rgb[3 * (static_cast<std::size_t>(y) * settings.width + x)];
            out[0] = pixel.x;
            out[1] = pixel.y;
            out[2] = pixel.z;
        }
    }
};

void add(Stats &total, const Stats &part) {
    total.camera_rays += part.camera_rays;
    total.light_samples += part.light_samples;
    total.facing_away += part.facing_away;
    total.shader_calls += part.shader_calls;
    total.shadow_rays += part.shadow_rays;
    for (int i = 0; i < kRejectionCount; ++i) {
        total.rejected[i] += part.rejected[i];
    }
}

} // namespace

const char *rejection_name(Rejection reason) {
    switch (reason) {
    case Rejection::behind:
        return "behind the emitter";
    case Rejection::cutoff:
        return "outside the cutoff";
    case Rejection::range:
        return "beyond the range";
    case Rejection::threshold:
        return "below the threshold";
    }
    return "?";
}

long Stats::rejections() const {
    long total = 0;
    for (long count : rejected) {
        total += count;
    }
    return total;
}

Ray camera_ray(const Camera &camera, int width, int height, float px, float py) {
    Vec3 forward = normalize(camera.look_at - camera.position);
    Vec3 right = normalize(cross(forward, camera.up));
    Vec3 up = cross(right, forward);
    float aspect = static_cast<float>(width) / static_cast<float>(height);
    float sx = (2.0f * px / static_cast<float>(width) - 1.0f) * aspect;
    float sy = 1.0f - 2.0f * py / static_cast<float>(height);
    if (camera.orthographic) {
        float half = camera.height / 2;
        return {camera.position + right * (sx * half) + up * (sy * half), forward};
    }
    float t = std::tan(camera.fov * kPi / 360.0f);
    return {camera.position, normalize(forward + right * (sx * t) + up * (sy * t))};
}

Framebuffer render(const Session &session, const RenderSettings &settings, Stats *stats,
                   const std::function<void(const Progress &)> &progress) {
    auto start = std::chrono::steady_clock::now();
    Framebuffer image;
    image.width = settings.width;
    image.height = settings.height;
    image.rgb.assign(3 * static_cast<std::size_t>(settings.width) * settings.height, 0.0f);

    int threads = std::max(1, settings.threads);
    std::atomic<int> next_row{0}, rows_done{0};
    std::atomic<long> samples_done{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<Worker> workers;
    workers.reserve(static_cast<std::size_t>(threads));
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back(session, settings);
    }
    auto work = [&](Worker &worker) {
        for (int y; (y = next_row.fetch_add(1)) < settings.height;) {
            long before = worker.stats.light_samples;
            worker.render_row(y, image);
            samples_done += worker.stats.light_samples - before;
            if (rows_done.fetch_add(1) + 1 == settings.height) {
                std::lock_guard<std::mutex> lock(mutex);
                finished.notify_all();
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) {
        pool.emplace_back(work, std::ref(workers[static_cast<std::size_t>(i)]));
    }
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto report = [&] {
        if (progress) {
            progress({rows_done.load(), settings.height, samples_done.load(), elapsed()});
        }
    };
    if (threads == 1) {
        // One thread: render here, reporting between rows.
        auto last = std::chrono::steady_clock::now();
        for (int y; (y = next_row.fetch_add(1)) < settings.height;) {
            long before = workers[0].stats.light_samples;
            workers[0].render_row(y, image);
            samples_done += workers[0].stats.light_samples - before;
            rows_done.fetch_add(1);
            if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(200)) {
                report();
                last = std::chrono::steady_clock::now();
            }
        }
    } else {
        // The calling thread reports while the others render.
        pool.emplace_back(work, std::ref(workers[0]));
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(200),
                                  [&] { return rows_done.load() >= settings.height; })) {
            lock.unlock();
            report();
            lock.lock();
        }
    }
    for (std::thread &thread : pool) {
        thread.join();
    }
    report();
    if (stats != nullptr) {
        *stats = Stats{};
        for (const Worker &worker : workers) {
            add(*stats, worker.stats);
        }
        stats->seconds = elapsed();
    }
    return image;
}

} // namespace oska::render
