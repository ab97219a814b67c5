#include "files.h"

#include "error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

void replace_file(const std::string &path, const void *data, std::size_t size, const char *what) {
    auto fail = [&](const std::string &why) {
        throw Error(path + ": cannot write the " + what + ": " + why);
    };
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::size_t name = path.rfind('/') + 1; // 0 without a folder
    std::string temporary =
        path.substr(0, name) + "." + path.substr(name) + ".tmp-" + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(reason(errno));
    }
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
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        std::remove(temporary.c_str());
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
