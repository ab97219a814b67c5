// The page's files, compiled into the program so that it serves them
// without the source tree and without the network.
#ifndef OSKA_RENDER_LOOKDEV_ASSETS_H
#define OSKA_RENDER_LOOKDEV_ASSETS_H

#include <cstddef>
#include <vector>

namespace oska::render::lookdev {

struct Asset {
    const char *name; // served as "/" + name
    const char *type; // its media type
    const unsigned char *data;
    std::size_t size;
};

const std::vector<Asset> &assets();

} // namespace oska::render::lookdev

#endif
