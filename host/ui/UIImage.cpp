#include "host/ui/UIImage.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/foundation/SystemLog.h"

namespace {

// What reading a PNG header yields. Plain data only: libpng reports errors by longjmp, which
// must not cross anything with a destructor.
struct PngHeader {
    bool ok = false;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    char error[256] = {};
};

void recordPngError(png_structp png, png_const_charp message) {
    auto* header = static_cast<PngHeader*>(png_get_error_ptr(png));
    std::snprintf(header->error, sizeof header->error, "%s", message ? message : "unknown error");
    png_longjmp(png, 1);
}

// Icons with slightly odd ancillary chunks are still icons; libpng's warnings are not news.
void ignorePngWarning(png_structp, png_const_charp) {}

// Reads the signature and the header chunks of an open file.
void readPngHeader(std::FILE* file, PngHeader* header) {
    png_byte signature[8] = {};
    if (std::fread(signature, 1, sizeof signature, file) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        std::snprintf(header->error, sizeof header->error, "not a PNG file");
        return;
    }
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, header, recordPngError, ignorePngWarning);
    if (!png) {
        std::snprintf(header->error, sizeof header->error, "out of memory");
        return;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::snprintf(header->error, sizeof header->error, "out of memory");
        return;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return;
    }
    png_init_io(png, file);
    png_set_sig_bytes(png, sizeof signature);
    png_read_info(png, info);
    header->width = png_get_image_width(png, info);
    header->height = png_get_image_height(png, info);
    header->ok = true;
    png_destroy_read_struct(&png, &info, nullptr);
}

}  // namespace

std::shared_ptr<UIImage> UIImage::imageWithContentsOfFile(const std::string& path) {
    // Non-blocking, so that a FIFO named as an image (a desktop entry's Icon can name any path)
    // cannot hang the caller in open(); only regular files are read.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // Callers look for an image in several places, so a missing one is not worth a line.
        if (errno == ENOENT) return nullptr;
        SystemLog::writef("UIImage: cannot open %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        SystemLog::writef("UIImage: cannot read %s: not a regular file", path.c_str());
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        int number = errno;
        ::close(fd);
        SystemLog::writef("UIImage: cannot open %s: %s", path.c_str(), std::strerror(number));
        return nullptr;
    }
    PngHeader header;
    readPngHeader(file, &header);
    std::fclose(file);
    if (!header.ok) {
        SystemLog::writef("UIImage: cannot read %s: %s", path.c_str(), header.error);
        return nullptr;
    }
    // libpng refuses dimensions beyond 2^31 - 1, so they fit an int.
    return std::make_shared<UIImage>(path, static_cast<int>(header.width),
                                     static_cast<int>(header.height));
}

std::string UIImage::resourceName() const {
    return std::filesystem::path(path_).stem().string();
}
