// The one kind of failure the renderer reports: a single line that names the
// file and the thing at fault, e.g. "hall.json: lights[1] 'strip': unknown
// parameter 'colour'".
#ifndef OSKA_RENDER_ERROR_H
#define OSKA_RENDER_ERROR_H

#include <stdexcept>
#include <string>

namespace oska::render {

// `text` with its control characters written out ("\n", "\t", "\r",
// "\x1b", ...): a file name or a text from a file that holds them stays on
// the one line of a message, and cannot move the terminal's cursor.
inline std::string printable(const std::string &text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else if (c == '\n' || c == '\t' || c == '\r') {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        } else {
            out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        }
    }
    return out;
}

// Every message is made printable as it is made, whatever it quotes.
struct Error : std::runtime_error {
    explicit Error(const std::string &what) : std::runtime_error(printable(what)) {}
    explicit Error(const char *what) : Error(std::string(what)) {}
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
