// The temporaries files are written to before they are renamed into place.
// Each has a short name of its own in the target's folder (so that it fits
// beside a target whose name is as long as the system allows), is created
// new (never an existing file or a link someone placed there), and is
// removed on every way out: a failure, and SIGINT, SIGTERM, SIGHUP or
// SIGQUIT too, which remove the live temporaries before they end the
// program as they would have.
#ifndef OSKA_RENDER_TEMPORARIES_H
#define OSKA_RENDER_TEMPORARIES_H

#include <string>

namespace oska::render {

struct Temporary {
    int fd = -1;      // open for writing; -1: none was made
    std::string name; // its path
    int error = 0;    // why none was made (an errno value)
};

// A new, empty file in `folder`, open for writing, with the permissions
// 0666 less the umask.
Temporary create_temporary(const std::string &folder);

// Renames `temporary` (closed by the caller) over `target`, or removes it
// when `target` is empty, and forgets it. Returns 0, or the errno value of a
// rename that failed (the temporary is then removed).
int settle_temporary(const Temporary &temporary, const std::string &target);

} // namespace oska::render

#endif
