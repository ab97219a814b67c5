// oska-render: renders a scene lit by oska object lights (see cli.h).
#include "cli.h"

#include <iostream>

int main(int argc, char **argv) { return oska::render::run_cli(argc, argv, std::cerr); }
