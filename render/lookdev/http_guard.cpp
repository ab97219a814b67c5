#include "lookdev/http_state.h"

#include <strings.h>

#include <cstdint>
#include <random>

namespace oska::render::lookdev {

namespace {

// Compares in time that does not depend on where the texts differ.
bool same_secret(const std::string &given, const std::string &secret) {
    unsigned difference = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        difference |= static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^
                      static_cast<unsigned char>(secret[i]);
    }
    return difference == 0;
}

// The headers that name who the request is for, as given.
struct Names {
    int hosts = 0, origins = 0;
    std::string host, origin, token;
};

MHD_Result note_name(void *cls, MHD_ValueKind, const char *key, const char *value) {
    auto &names = *static_cast<Names *>(cls);
    const std::string text = value == nullptr ? "" : value;
    if (strcasecmp(key, "Host") == 0) {
        ++names.hosts;
        names.host = text;
    } else if (strcasecmp(key, "Origin") == 0) {
        ++names.origins;
        names.origin = text;
    } else if (strcasecmp(key, "X-Oska-Token") == 0) {
        names.token = text;
    }
    return MHD_YES;
}

} // namespace

std::string random_secret() {
    std::random_device device; // the kernel's random source
    std::string secret;
    const char *hex = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        uint32_t word = device();
        for (int nibble = 0; nibble < 8; ++nibble) {
            secret += hex[(word >> (4 * nibble)) & 15u];
        }
    }
    return secret;
}

std::string HttpServer::State::refusal(MHD_Connection *c, const std::string &method,
                                       const std::string &path) const {
    Names names;
    MHD_get_connection_values(c, MHD_HEADER_KIND, note_name, &names);
    if (names.hosts != 1 || names.origins > 1) {
        return "refused: a request names one Host and at most one Origin";
    }
    // A page of another site, or this address under another name (DNS
    // rebinding), gets nothing.
    if (names.host != here && names.host != named) {
        return "refused: this server answers only to " + here;
    }
    if (names.origins == 1 && names.origin != "http://" + here &&
        names.origin != "http://" + named) {
        return "refused: requests from another origin";
    }
    if (names.token.empty()) {
        const char *arg = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "token");
        names.token = arg == nullptr ? "" : arg;
    }
    if (same_secret(names.token, token)) {
        return "";
    }
    // The page's files open to the cookie the page set as well.
    const char *cookie_value = MHD_lookup_connection_value(c, MHD_COOKIE_KIND, cookie.c_str());
    if (method != "GET" || files.count(path) == 0 || cookie_value == nullptr ||
        !same_secret(cookie_value, files_key)) {
        return "refused: the page's token is missing or wrong";
    }
    return "";
}

} // namespace oska::render::lookdev
