// Reading and writing the files a render touches. Only regular files are
// read (a device or a FIFO would hang or never end, a folder is no file),
// nothing larger than the caller can hold, and output goes to a temporary
// beside the target that is renamed into place only once every byte of it
// was written and the file closed without an error.
#ifndef OSKA_RENDER_FILES_H
#define OSKA_RENDER_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace oska::render {

// Why `path` cannot be read as a file ("no such file", "is a folder, not a
// file", ...); empty when it is a regular file.
std::string file_problem(const std::string &path);

// The whole of a regular file of at most `limit` bytes; throws Error
// "PREFIX: PROBLEM" otherwise (`prefix` names the file, and what refers to
// it, in the message).
std::string read_regular_file(const std::string &path, const std::string &prefix,
                              std::uint64_t limit);

// The folder holding `path` ("." for a bare name), against which the
// relative paths of a file resolve.
std::string directory_of(const std::string &path);

// Writes `size` bytes at `data` to a temporary beside `path` and renames it
// over `path`. On any failure the temporary is removed, `path` keeps what it
// held, and Error "PATH: cannot write the WHAT: WHY" is thrown (`what`: "image",
// "scene", ...).
void replace_file(const std::string &path, const void *data, std::size_t size, const char *what);

} // namespace oska::render

#endif
