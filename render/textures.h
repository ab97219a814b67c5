// Image textures through OpenImageIO's texture system: filtered lookups
// (bilinear within the finest mip level), shared by every render thread.
// Each render thread keeps its own state of the system and passes it to
// every lookup, so that lookups on different threads share nothing.
#ifndef OSKA_RENDER_TEXTURES_H
#define OSKA_RENDER_TEXTURES_H

#include "scene.h"

#include <oska/host_api.h>

#include <memory>
#include <vector>

namespace oska::render {

class Textures {
  public:
    explicit Textures(const std::vector<TextureDesc> &textures);
    ~Textures();
    Textures(const Textures &) = delete;
    Textures &operator=(const Textures &) = delete;

    // Linear RGBA of texture `index` at (u, v), v pointing up the image.
    // `repeat`: the image tiles the plane; otherwise it ends at its edges.
    // An image without alpha has alpha 1; a grey image is grey in r, g, b.
    // False when the lookup failed (the colour is then black). `thread`:
    // the calling thread's state (null: the system finds it itself).
    struct ThreadState;
    bool lookup(int index, float u, float v, bool repeat, oska_color *out,
                ThreadState *thread = nullptr) const;

    struct ThreadStateRelease {
        const Textures *owner;
        void operator()(ThreadState *state) const;
    };
    using ThreadStatePtr = std::unique_ptr<ThreadState, ThreadStateRelease>;
    // A state of the texture system for one thread, to pass to lookup().
    ThreadStatePtr thread_state() const;

    std::size_t size() const { return handles_.size(); }

  private:
    struct System;
    std::unique_ptr<System> system_;
    std::vector<void *> handles_;
    std::vector<int> channels_;
    std::vector<bool> srgb_;
};

} // namespace oska::render

#endif
