// The one kind of failure the renderer reports: a single line that names the
// file and the thing at fault, e.g. "hall.json: lights[1] 'strip': unknown
// parameter 'colour'".
#ifndef OSKA_RENDER_ERROR_H
#define OSKA_RENDER_ERROR_H

#include <stdexcept>
#include <string>

namespace oska::render {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace oska::render

#endif
