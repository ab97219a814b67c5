#include "image_output.h"

#include "display.h"
#include "error.h"
#include "files.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace oska::render {

namespace {

std::string extension_of(const std::string &path) {
    auto slash = path.rfind('/');
    auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "";
    }
    std::string ext = path.substr(dot + 1);
    for (char &c : ext) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return ext;
}

} // namespace

void check_output(const std::string &path, const std::vector<std::string> &inputs) {
    std::string ext = extension_of(path);
    if (ext.empty()) {
        throw Error(path + ": the output needs an extension (.exr, .png, ...)");
    }
    auto output = OIIO::ImageOutput::create(path);
    if (!output) {
        (void)OIIO::geterror();
        throw Error(path + ": cannot write ." + ext + " images (use .exr or .png)");
    }
    std::string dir = directory_of(path);
    struct stat info;
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw Error(path + ": the folder " + dir + " does not exist");
    }
    if (access(dir.c_str(), W_OK) != 0) {
        throw Error(path + ": the folder " + dir + " is not writable");
    }
    // Known before the render, not after it.
    long longest = pathconf(dir.c_str(), _PC_NAME_MAX);
    if (longest > 0 && path.size() - path.rfind('/') - 1 > static_cast<std::size_t>(longest)) {
        throw Error(path + ": cannot write the image: " + std::strerror(ENAMETOOLONG));
    }
    if (std::string problem = replace_problem(path, inputs); !problem.empty()) {
        throw Error(path + ": cannot write the image: " + problem);
    }
}

void write_image(const std::string &path, const Framebuffer &image,
                 const std::vector<std::string> &inputs) {
    check_output(path, inputs);
    std::string ext = extension_of(path);
    bool floats = ext == "exr" || ext == "hdr"; // kept as radiance
    OIIO::TypeDesc type = floats ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8;
    OIIO::ImageSpec layout(image.width, image.height, 3, type);
    if (!floats) {
        layout.attribute("oiio:ColorSpace", "sRGB");
    }
    // No date stamp: the same scene and options give the same bytes.
    layout.attribute("DateTime", "");
    std::vector<uint8_t> display;
    const void *pixels = image.rgb.data();
    if (!floats) {
        display.resize(image.rgb.size());
        std::transform(image.rgb.begin(), image.rgb.end(), display.begin(), display_value);
        pixels = display.data();
    }
    // The image is encoded in memory and written out in one checked piece:
    // the image library's own file writes do not all report a full disk.
    std::vector<unsigned char> bytes;
    OIIO::Filesystem::IOVecOutput memory(bytes);
    auto output = OIIO::ImageOutput::create(path);
    if (!output || !output->supports("ioproxy")) {
        (void)OIIO::geterror();
        throw Error(path + ": cannot write ." + ext + " images (use .exr or .png)");
    }
    output->set_ioproxy(&memory);
    bool ok = output->open(path, layout) && output->write_image(type, pixels);
    ok = output->close() && ok;
    if (!ok) {
        std::string why = output->geterror();
        throw Error(path + ": cannot write the image" +
                    (why.empty() ? "" : ": " + first_line(why)));
    }
    replace_file(path, bytes.data(), bytes.size(), "image", inputs);
}

} // namespace oska::render
