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

// The first line of a library's message, to end an Error's one line.
inline std::string first_line(std::string text) {
    if (auto end = text.find('\n'); end != std::string::npos) {
        text.erase(end);
    }
    return text;
}

} // namespace oska::render

#endif
