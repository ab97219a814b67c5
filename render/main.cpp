// oska-render: renders a scene lit by oska object lights (see cli.h), or
// serves the lookdev page for one (see lookdev/server.h).
#include "cli.h"
#include "lookdev/server.h"

#include <csignal>
#include <iostream>
#include <string>

int main(int argc, char **argv) {
    // A file-size limit then fails the write, which is reported, instead of
    // killing the program half-way through an image.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc >= 2 && std::string(argv[1]) == "serve") {
        return oska::render::run_serve(argc - 1, argv + 1, std::cout, std::cerr);
    }
    return oska::render::run_cli(argc, argv, std::cerr, std::cout);
}
