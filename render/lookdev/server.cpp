#include "lookdev/server.h"

#include "cli.h"
#include "error.h"
#include "files.h"
#include "lookdev/http.h"
#include "lookdev/lookdev.h"
#include "lookdev/routes.h"
#include "render_scene.h"
#include "scene.h"

#include <csignal>
#include <exception>
#include <pthread.h>
#include <string>
#include <utility>

namespace oska::render {

namespace {

struct ServeArguments : SceneArguments {
    int port = 0; // 0: a free one
};

ServeArguments parse_serve(int argc, const char *const *argv) {
    ServeArguments args;
    for_each_word(argc, argv, [&](const std::string &arg, const Value &value) {
        if (arg == "--port") {
            args.port = parse_whole_number(arg, value(), 0, 65535);
        } else if (arg == "--help" || arg == "-h") {
            throw Usage{};
        } else {
            args.take(arg, value);
        }
    });
    if (args.scene.empty()) {
        throw Usage{"serve needs a scene file (it saves the lights back into it)"};
    }
    return args;
}

} // namespace

int run_serve(int argc, const char *const *argv, std::ostream &out, std::ostream &err) {
    ServeArguments args;
    try {
        args = parse_serve(argc, argv);
    } catch (const Usage &usage) {
        if (!usage.what.empty()) {
            err << "oska-render serve: " << printable(usage.what) << "\n";
        }
        err << "usage: oska-render serve SCENE.json [--port N] [--threads N] [--library FILE]\n"
               "                          [--allow-scene-library] [--max-image-memory MIB]\n"
               "Serves a page on 127.0.0.1 for tuning the scene's lights live.\n";
        return usage.what.empty() ? 0 : 2;
    }
    // SIGINT and SIGTERM end the server: this thread waits for them, every
    // other thread leaves them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    try {
        std::string text = lookdev::read_scene_text(args.scene);
        LoadOptions load = args.load_options();
        Scene scene =
            load_scene(SceneSource::from_text(text, args.scene, directory_of(args.scene)), load);
        if (scene.lights.empty()) {
            throw Error(args.scene + ": has no light to tune");
        }
        lookdev::Lookdev lookdev(std::move(scene), text, load, args.thread_count());
        std::string token = lookdev::random_secret();
        lookdev::HttpServer server(token);
        lookdev::serve_routes(server, token, lookdev);
        lookdev.open();
        int port = server.start(args.port);
        out << "oska lookdev: http://127.0.0.1:" << port << "/?token=" << token << std::endl;
        int signal = 0;
        sigwait(&stop_signals, &signal);
        server.stop();
        lookdev.close();
        return 0;
    } catch (const std::exception &e) {
        err << "oska-render: " << printable(e.what()) << "\n";
        return 1;
    }
}

} // namespace oska::render
