// The lookdev server's HTTP routes: the page's files and the API the page
// calls, each answered by the model.
#ifndef OSKA_RENDER_LOOKDEV_ROUTES_H
#define OSKA_RENDER_LOOKDEV_ROUTES_H

#include "lookdev/http.h"
#include "lookdev/lookdev.h"

#include <string>

namespace oska::render::lookdev {

// Registers every route on `server`, the page with `token` written into it;
// `model` wakes the server's waiting pages whenever there is news.
void serve_routes(HttpServer &server, const std::string &token, Lookdev &model);

} // namespace oska::render::lookdev

#endif
