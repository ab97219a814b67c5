#include "files.h"

#include "error.h"
#include "temporaries.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace oska::render {

namespace {

std::string reason(int error) { return std::strerror(error); }

} // namespace

std::string file_problem(const std::string &path) {
    struct stat info;
    if (path.empty()) {
        return "no file named";
    }
    if (stat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "no such file" : "cannot be read: " + reason(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return "is a folder, not a file";
    }
    if (!S_ISREG(info.st_mode)) {
        return "is not a regular file (a device, pipe or socket)";
    }
    return "";
}

std::string read_regular_file(const std::string &path, const std::string &prefix,
                              std::uint64_t limit) {
    if (std::string problem = file_problem(path); !problem.empty()) {
        throw Error(prefix + ": " + problem);
    }
    // Opened without blocking, so that a FIFO swapped in after the check
    // cannot hang the open; checked again on the descriptor itself.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw Error(prefix + ": cannot be read: " + reason(errno));
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        throw Error(prefix + ": is not a regular file (a device, pipe or socket)");
    }
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
        close(fd);
        throw Error(prefix + ": is " + std::to_string(info.st_size) + " bytes, more than the " +
                    std::to_string(limit) + " accepted");
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t got = read(fd, text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            int error = errno;
            close(fd);
            throw Error(prefix + ": cannot be read: " + reason(error));
        }
        if (got == 0) { // shrank while being read
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    text.resize(done);
    return text;
}

void check_text(const std::string &text, const std::string &prefix) {
    auto starts = [&](std::string_view mark) { return text.compare(0, mark.size(), mark) == 0; };
    if (starts("\xFF\xFE") || starts("\xFE\xFF") || starts({"\0\0\xFE\xFF", 4})) {
        throw Error(prefix + ": is UTF-16 or UTF-32 text; save it as UTF-8");
    }
    if (auto nul = text.find('\0'); nul != std::string::npos) {
        auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n');
        throw Error(prefix + ":" + std::to_string(line + 1) + ": holds a NUL byte (not text)");
    }
}

std::string read_text_file(const std::string &path, const std::string &prefix,
                           std::uint64_t limit) {
    std::string text = read_regular_file(path, prefix, limit);
    check_text(text, prefix);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
    for (std::size_t cr = text.find('\r'); cr != std::string::npos; cr = text.find('\r', cr + 1)) {
        if (cr + 1 == text.size() || text[cr + 1] != '\n') {
            text[cr] = '\n';
        }
    }
    return text;
}

std::string replace_problem(const std::string &path, const std::vector<std::string> &inputs) {
    struct stat target;
    if (lstat(path.c_str(), &target) != 0) {
        return ""; // nothing there yet, or a name the write itself will fail on
    }
    if (S_ISLNK(target.st_mode)) {
        return "it is a symbolic link (only a regular file is replaced)";
    }
    if (S_ISDIR(target.st_mode)) {
        return "it is a folder";
    }
    if (!S_ISREG(target.st_mode)) {
        return "it is not a regular file (a device, pipe or socket)";
    }
    for (const std::string &input : inputs) {
        struct stat read;
        if (stat(input.c_str(), &read) == 0 && read.st_dev == target.st_dev &&
            read.st_ino == target.st_ino) {
            return "it is one of the scene's own files (" + input + ")";
        }
    }
    return "";
}

namespace {

// Writes all of `size` bytes at `data` to `fd` and closes it; 0 or why not.
int write_whole(int fd, const unsigned char *bytes, std::size_t size) {
    std::size_t done = 0;
    int error = 0;
    while (done < size && error == 0) {
        ssize_t put = write(fd, bytes + done, size - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = put < 0 ? errno : ENOSPC;
        } else {
            done += static_cast<std::size_t>(put);
        }
    }
    // The data must be on the disk before the name moves over the old file,
    // or a crash could leave the old name on an empty file.
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

} // namespace

void replace_file(const std::string &path, const void *data, std::size_t size, const char *what,
                  const std::vector<std::string> &inputs) {
    auto fail = [&](const std::string &why) {
        throw Error(path + ": cannot write the " + what + ": " + why);
    };
    if (std::string problem = replace_problem(path, inputs); !problem.empty()) {
        fail(problem);
    }
    struct stat old;
    bool replacing = stat(path.c_str(), &old) == 0;
    Temporary temporary = create_temporary(directory_of(path));
    if (temporary.fd < 0) {
        fail(reason(temporary.error));
    }
    // A file replaced keeps the permissions it had (a private one stays private).
    int error = replacing && fchmod(temporary.fd, old.st_mode & 0777) != 0 ? errno : 0;
    if (error != 0) {
        close(temporary.fd);
    } else {
        error = write_whole(temporary.fd, static_cast<const unsigned char *>(data), size);
    }
    int settled = settle_temporary(temporary, error == 0 ? path : "");
    error = error != 0 ? error : settled;
    if (error != 0) {
        fail(reason(error));
    }
}

std::string directory_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace oska::render
