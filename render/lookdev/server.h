// oska-render serve: a local page on which a lighting artist tunes the lights
// of a scene and sees the render, the light's response curves and the
// library's messages follow every change.
//
//   oska-render serve SCENE.json [--port N] [--threads N] [--library FILE]
//
// The server listens on 127.0.0.1 only and prints the page's address with a
// random token in it. Every request must carry the token (the query's
// `token`, or the X-Oska-Token header), name this server in its Host and,
// if it has one, in its Origin; anything else is refused. The page names no
// file: it picks textures among the scene's, and Save writes the scene back
// to the file it was opened from (its previous version beside it, ".bak").
#ifndef OSKA_RENDER_LOOKDEV_SERVER_H
#define OSKA_RENDER_LOOKDEV_SERVER_H

#include <ostream>

namespace oska::render {

// Runs the server until SIGINT or SIGTERM, then takes the library down
// (a leak is a failure). Returns the exit status: 0, 1 failed, 2 bad usage.
int run_serve(int argc, const char *const *argv, std::ostream &out, std::ostream &err);

} // namespace oska::render

#endif
