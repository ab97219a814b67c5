// What the renderer's tests look at in a folder, shared by the test programs
// that link oska-render's core and those that only run the program.
#ifndef OSKA_TESTS_RENDER_FOLDER_H
#define OSKA_TESTS_RENDER_FOLDER_H

#include <dirent.h>
#include <string>
#include <vector>

namespace oska::render::test {

// The names in `folder` but "." and "..", in the order the system gives
// them; none when it cannot be read.
inline std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    return names;
}

} // namespace oska::render::test

#endif
