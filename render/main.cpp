// oska-render: renders a scene lit by oska object lights (see cli.h).
#include "cli.h"

#include <csignal>
#include <iostream>

int main(int argc, char **argv) {
    // A file-size limit then fails the write, which is reported, instead of
    // killing the program half-way through an image.
    std::signal(SIGXFSZ, SIG_IGN);
    return oska::render::run_cli(argc, argv, std::cerr, std::cout);
}
