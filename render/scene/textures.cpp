#include "textures.h"

#include "error.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <type_traits>
#include <unistd.h>

namespace oska::render {

namespace {

// Sends standard error to /dev/null while it lives (scene loading runs on
// one thread, before anything else writes there).
class StandardErrorMuted {
  public:
    StandardErrorMuted() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            dup2(null, STDERR_FILENO);
        }
        if (null >= 0) {
            close(null);
        }
    }
    ~StandardErrorMuted() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
    }
    StandardErrorMuted(const StandardErrorMuted &) = delete;
    StandardErrorMuted &operator=(const StandardErrorMuted &) = delete;

  private:
    int saved_ = -1;
};

// ": WHY" from the image library's message, or nothing when it gave none.
std::string because(const std::string &message) {
    std::string why = first_line(message);
    return why.empty() ? why : ": " + why;
}

std::string megabytes(std::uint64_t bytes) {
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB";
}

// Channel value `index` of texels `Depth` bytes a channel, as a float: whole
// numbers scaled to [0, 1] as the image library scales them when it reads
// floats.
template <int Depth> float channel(const unsigned char *texels, std::size_t index) {
    if constexpr (Depth == 1) {
        return static_cast<float>(texels[index]) * (1.0f / 255.0f);
    } else {
        std::conditional_t<Depth == 2, std::uint16_t, float> value;
        std::memcpy(&value, texels + index * Depth, sizeof value);
        return Depth == 2 ? static_cast<float>(value) * (1.0f / 65535.0f)
                          : static_cast<float>(value);
    }
}

// The bilinear mix of the four texels whose first channels are at `corner`
// (top left, top right, bottom left, bottom right), channel by channel.
template <int Depth>
void mix(const Image &image, const std::size_t corner[4], float sx, float sy, float out[4]) {
    const unsigned char *texels = image.texels.data();
    for (std::size_t c = 0; c < static_cast<std::size_t>(std::min(image.channels, 4)); ++c) {
        auto at = [&](int k) { return channel<Depth>(texels, corner[k] + c); };
        out[c] = (1 - sy) * ((1 - sx) * at(0) + sx * at(1)) + sy * ((1 - sx) * at(2) + sx * at(3));
    }
}

float srgb_to_linear(float c) {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

} // namespace

Image read_image(const std::string &file, const std::string &colorspace, std::uint64_t &budget) {
    // The image decoders print their own complaints (a PNG's bad header when
    // it is opened, its bad data when it is read) besides returning them; the
    // message thrown says what they had to say, on its one line.
    StandardErrorMuted muted;
    auto input = OIIO::ImageInput::open(file);
    if (!input) {
        throw Error("cannot read image '" + file + "'" + because(OIIO::geterror()));
    }
    const OIIO::ImageSpec layout = input->spec_dimensions(0);
    if (layout.width <= 0 || layout.height <= 0 || layout.nchannels <= 0 || layout.depth != 1) {
        throw Error("image '" + file + "' is empty");
    }
    std::uint64_t bytes = static_cast<std::uint64_t>(layout.width) *
                          static_cast<std::uint64_t>(layout.height) *
                          static_cast<std::uint64_t>(layout.nchannels) * sizeof(float);
    if (bytes > budget) {
        throw Error("image '" + file + "' is " + std::to_string(layout.width) + "x" +
                    std::to_string(layout.height) + " with " + std::to_string(layout.nchannels) +
                    " channels (" + megabytes(bytes) +
                    "), beyond what is left of the image memory budget (" + megabytes(budget) +
                    ", --max-image-memory)");
    }
    budget -= bytes;
    Image image;
    image.width = layout.width;
    image.height = layout.height;
    image.channels = layout.nchannels;
    const bool integer_texels = layout.format.basetype == OIIO::TypeDesc::UINT8 ||
                                layout.format.basetype == OIIO::TypeDesc::UINT16;
    const OIIO::TypeDesc held = integer_texels ? layout.format : OIIO::TypeDesc::FLOAT;
    image.depth = static_cast<int>(held.size());
    image.texels.resize(static_cast<std::size_t>(bytes / sizeof(float)) * held.size());
    if (!input->read_image(0, 0, 0, layout.nchannels, held, image.texels.data())) {
        throw Error("image '" + file + "' cannot be read whole" + because(input->geterror()));
    }
    image.srgb = colorspace == "auto" ? integer_texels : colorspace == "srgb";
    return image;
}

bool lookup(const Image &image, float u, float v, bool repeat, oska_color *out) {
    *out = {0, 0, 0, 1};
    if (!std::isfinite(u) || !std::isfinite(v) || image.texels.empty()) {
        return false;
    }
    // Texel centres sit at (i + 0.5) / width; row 0 of the file is its top.
    float x = u * static_cast<float>(image.width) - 0.5f;
    float y = (1.0f - v) * static_cast<float>(image.height) - 0.5f;
    if (!std::isfinite(x) || !std::isfinite(y)) { // beyond what a float holds once scaled
        return false;
    }
    float x0 = std::floor(x), y0 = std::floor(y);
    float sx = x - x0, sy = y - y0;
    // The texel index on one axis, in doubles: far from the image a float
    // index is whole but beyond any integer type.
    auto index = [repeat](double at, int size) {
        if (at >= 0 && at < size) { // most lookups: inside the image
            return static_cast<std::size_t>(at);
        }
        if (repeat) {
            double wrapped = std::fmod(at, size); // exact, and whole as `at` is
            return static_cast<std::size_t>(wrapped < 0 ? wrapped + size : wrapped);
        }
        return static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(size - 1)));
    };
    std::size_t left = index(x0, image.width), right = index(double{x0} + 1, image.width);
    std::size_t top = index(y0, image.height), bottom = index(double{y0} + 1, image.height);
    const auto channels = static_cast<std::size_t>(image.channels);
    const auto width = static_cast<std::size_t>(image.width);
    const std::size_t corner[4] = {
        (top * width + left) * channels, (top * width + right) * channels,
        (bottom * width + left) * channels, (bottom * width + right) * channels};
    float texel_out[4] = {0, 0, 0, 1};
    if (image.depth == 1) {
        mix<1>(image, corner, sx, sy, texel_out);
    } else if (image.depth == 2) {
        mix<2>(image, corner, sx, sy, texel_out);
    } else {
        mix<4>(image, corner, sx, sy, texel_out);
    }
    if (channels <= 2) { // grey, or grey and alpha
        texel_out[3] = channels == 2 ? texel_out[1] : 1.0f;
        texel_out[1] = texel_out[2] = texel_out[0];
    }
    if (image.srgb) {
        for (int c = 0; c < 3; ++c) {
            texel_out[c] = srgb_to_linear(texel_out[c]);
        }
    }
    *out = {texel_out[0], texel_out[1], texel_out[2], texel_out[3]};
    return true;
}

} // namespace oska::render
