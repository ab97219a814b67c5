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
#include <vector>

namespace oska::render {

// Why `path` cannot be read as a file ("no such file", "is a folder, not a
// file", ...); empty when it is a regular file.
std::string file_problem(const std::string &path);

// The whole of a regular file of at most `limit` bytes; throws Error
// "PREFIX: PROBLEM" otherwise (`prefix` names the file, and what refers to
// it, in the message).
std::string read_regular_file(const std::string &path, const std::string &prefix,
                              std::uint64_t limit);

// Throws Error "PREFIX: PROBLEM" for text in UTF-16 or UTF-32 (by its
// byte-order mark) and "PREFIX:LINE: ..." for a NUL byte: what a text
// reader would otherwise misread or stop at.
void check_text(const std::string &text, const std::string &prefix);

// read_regular_file for a text file of lines (a model, declarations): a
// UTF-8 byte-order mark at its start is dropped and lines that end in a
// lone carriage return end in a line feed instead, after check_text.
std::string read_text_file(const std::string &path, const std::string &prefix, std::uint64_t limit);

// The folder holding `path` ("." for a bare name), against which the
// relative paths of a file resolve.
std::string directory_of(const std::string &path);

// Why `path` may not be replaced by a file written: something other than a
// regular file is there (a symbolic link, whatever it points to, a folder, a
// device), or the file there is one of `inputs` (however either is spelled:
// the same file on the same device). Empty when it may.
std::string replace_problem(const std::string &path, const std::vector<std::string> &inputs);

// Writes `size` bytes at `data` to a new temporary beside `path` and renames
// it over `path`, which keeps its permissions. Nothing but this temporary is
// ever written to, and only `path` is replaced, when replace_problem allows.
// On any failure the temporary is removed, `path` keeps what it held, and
// Error "PATH: cannot write the WHAT: WHY" is thrown (`what`: "image",
// "scene", ...).
void replace_file(const std::string &path, const void *data, std::size_t size, const char *what,
                  const std::vector<std::string> &inputs = {});

} // namespace oska::render

#endif
