#include "textures.h"

#include "error.h"

#include <OpenImageIO/texture.h>

#include <cmath>

namespace oska::render {

struct Textures::System {
    OIIO::TextureSystem *ts = nullptr;
    ~System() {
        if (ts != nullptr) {
            OIIO::TextureSystem::destroy(ts, true);
        }
    }
};

namespace {

float srgb_to_linear(float c) {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

} // namespace

Textures::Textures(const std::vector<TextureDesc> &textures) : system_(new System) {
    system_->ts = OIIO::TextureSystem::create(false);
    // Untiled, unmipped images (PNG, JPEG) are used as they are, without the
    // texture system making a private mip-mapped copy first.
    system_->ts->attribute("automip", 1);
    system_->ts->attribute("accept_untiled", 1);
    system_->ts->attribute("accept_unmipped", 1);
    for (const TextureDesc &texture : textures) {
        OIIO::ustring name(texture.file);
        auto *handle = system_->ts->get_texture_handle(name);
        OIIO::ImageSpec layout;
        if (handle == nullptr || !system_->ts->get_imagespec(name, 0, layout)) {
            std::string why = system_->ts->geterror();
            if (auto end = why.find('\n'); end != std::string::npos) {
                why.erase(end);
            }
            throw Error(texture.file + ": cannot read the image" + (why.empty() ? "" : ": " + why));
        }
        handles_.push_back(handle);
        channels_.push_back(layout.nchannels);
        srgb_.push_back(texture.srgb);
    }
}

Textures::~Textures() = default;

// The texture system's own per-thread record, under a name of ours.
struct Textures::ThreadState {};

Textures::ThreadStatePtr Textures::thread_state() const {
    return ThreadStatePtr(reinterpret_cast<ThreadState *>(system_->ts->create_thread_info()),
                          ThreadStateRelease{this});
}

void Textures::ThreadStateRelease::operator()(ThreadState *state) const {
    if (state != nullptr) {
        owner->system_->ts->destroy_thread_info(
            reinterpret_cast<OIIO::TextureSystem::Perthread *>(state));
    }
}

bool Textures::lookup(int index, float u, float v, bool repeat, oska_color *out,
                      ThreadState *thread) const {
    *out = {0, 0, 0, 1};
    if (index < 0 || static_cast<std::size_t>(index) >= handles_.size() || !std::isfinite(u) ||
        !std::isfinite(v)) {
        return false;
    }
    OIIO::TextureOpt opt;
    opt.swrap = opt.twrap = repeat ? OIIO::TextureOpt::WrapPeriodic : OIIO::TextureOpt::WrapClamp;
    opt.fill = 1.0f; // alpha of an image that has none
    // Lookups carry no footprint: bilinear within the finest level, which
    // is also half the cost of the texture system's default bicubic.
    opt.interpmode = OIIO::TextureOpt::InterpBilinear;
    opt.mipmode = OIIO::TextureOpt::MipModeNoMIP;
    float texel[4] = {0, 0, 0, 1};
    auto *handle = static_cast<OIIO::TextureSystem::TextureHandle *>(handles_[index]);
    // Row 0 of an image file is its top; v grows upwards.
    if (!system_->ts->texture(handle,
                              system_->ts->get_perthread_info(
                                  reinterpret_cast<OIIO::TextureSystem::Perthread *>(thread)),
                              opt, u, 1.0f - v, 0, 0, 0, 0, 4, texel)) {
        (void)system_->ts->geterror();
        return false;
    }
    int channels = channels_[index];
    if (channels <= 2) { // grey, or grey and alpha
        texel[3] = channels == 2 ? texel[1] : 1.0f;
        texel[1] = texel[2] = texel[0];
    }
    if (srgb_[index]) {
        for (int c = 0; c < 3; ++c) {
            texel[c] = srgb_to_linear(texel[c]);
        }
    }
    *out = {texel[0], texel[1], texel[2], texel[3]};
    return true;
}

} // namespace oska::render
