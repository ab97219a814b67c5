// Writing one report file through a temporary that only this call created.
#include "report_file.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace oska::probe {

namespace {

// Names tried before giving up, when each is taken already.
constexpr int kNameAttempts = 64;

#if defined(_WIN32)
using Handle = HANDLE;
const Handle kNoFile = INVALID_HANDLE_VALUE;
using ErrorCode = DWORD;

std::string error_text(ErrorCode error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string said(text, length);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) {
        said.pop_back();
    }
    return said.empty() ? "error " + std::to_string(error) : said;
}

unsigned process_id() { return unsigned(_getpid()); }

bool name_taken(ErrorCode error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// A new file, or kNoFile with `error` set; never opens what exists.
Handle create_new(const std::string &path, ErrorCode &error) {
    const Handle file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == kNoFile ? GetLastError() : 0;
    return file;
}

ErrorCode write_all(Handle file, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const std::size_t left = text.size() - done;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : DWORD(left);
        DWORD put = 0;
        if (WriteFile(file, text.data() + done, chunk, &put, nullptr) == 0) {
            return GetLastError();
        }
        if (put == 0) {
            return ERROR_DISK_FULL;
        }
        done += put;
    }
    return FlushFileBuffers(file) != 0 ? 0 : GetLastError();
}

ErrorCode close_file(Handle file) { return CloseHandle(file) != 0 ? 0 : GetLastError(); }

ErrorCode move_over(const std::string &from, const std::string &to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
               ? 0
               : GetLastError();
}

void remove_file(const std::string &path) { DeleteFileA(path.c_str()); }

// Something other than a plain file (a folder, a link) stands at `path`.
bool other_than_file(const std::string &path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}
#else
using Handle = int;
const Handle kNoFile = -1;
using ErrorCode = int;

std::string error_text(ErrorCode error) { return std::strerror(error); }

unsigned process_id() { return unsigned(getpid()); }

bool name_taken(ErrorCode error) { return error == EEXIST; }

// A new file, or kNoFile with `error` set. O_EXCL with O_CREAT fails on any
// entry of that name, a link included, so nothing is followed.
Handle create_new(const std::string &path, ErrorCode &error) {
    const Handle file =
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    error = file == kNoFile ? errno : 0;
    return file;
}

ErrorCode write_all(Handle file, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(file, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : ENOSPC;
        }
        done += std::size_t(put);
    }
    // On the disk before the name moves over an older report.
    return fsync(file) == 0 ? 0 : errno;
}

ErrorCode close_file(Handle file) { return close(file) == 0 ? 0 : errno; }

ErrorCode move_over(const std::string &from, const std::string &to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void remove_file(const std::string &path) { unlink(path.c_str()); }

bool other_than_file(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}
#endif

// A short name no one can guess ahead: whatever the report's name, the
// temporary's fits wherever it does.
std::string temporary_name() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t mix = (std::uint64_t(process_id()) << 32) ^
                        std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    mix ^= mix >> 31;
    mix *= 0xBF58476D1CE4E5B9ull;
    mix ^= mix >> 29;
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".oska-probe-";
    for (int i = 0; i < 10; ++i) {
        name += digits[mix % 36];
        mix /= 36;
    }
    return name + ".tmp";
}

// A temporary in `folder` created by this call, or kNoFile with the error.
Handle create_temporary(const std::string &folder, std::string &path, ErrorCode &error) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        path = folder + "/" + temporary_name();
        const Handle file = create_new(path, error);
        if (file != kNoFile) {
            return file;
        }
        if (!name_taken(error)) {
            break;
        }
    }
    return kNoFile;
}

} // namespace

std::string write_report_file(const std::string &folder, const std::string &name,
                              const std::string &text) {
    const std::string path = folder + "/" + name;
    if (other_than_file(path)) {
        return path + " exists and is not a regular file; it was left alone";
    }
    std::string temporary;
    ErrorCode error = 0;
    const Handle file = create_temporary(folder, temporary, error);
    if (file == kNoFile) {
        return path + ": cannot create a temporary file beside it: " + error_text(error);
    }
    error = write_all(file, text);
    const ErrorCode closed = close_file(file);
    if (error != 0 || closed != 0) {
        remove_file(temporary);
        return path + ": cannot write its temporary " + temporary + ": " +
               error_text(error != 0 ? error : closed);
    }
    error = move_over(temporary, path);
    if (error != 0) {
        remove_file(temporary);
        return "cannot rename " + temporary + " to " + path + ": " + error_text(error);
    }
    return {};
}

} // namespace oska::probe
