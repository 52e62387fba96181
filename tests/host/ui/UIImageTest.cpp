#include "host/ui/UIImage.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <vector>

#include "host/foundation/SystemLog.h"
#include "support/TestEnvironment.h"

namespace {

// A width x height grey PNG, written with libpng.
void writePng(const std::string& path, int width, int height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row(width, 0x80);
    for (int y = 0; y < height; ++y) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

TEST(UIImage, ReadsSizeOfAValidPng) {
    ScratchHome home;
    std::string path = home.file("icons/Wi-Fi.png");
    writePng(path, 29, 17);
    auto image = UIImage::imageWithContentsOfFile(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->path(), path);
    EXPECT_EQ(image->width(), 29);
    EXPECT_EQ(image->height(), 17);
    EXPECT_EQ(image->resourceName(), "Wi-Fi");
    std::pair<const char*, const char*> names[] = {
        {"Icon@2x.png", "Icon@2x"}, {"/x/archive.tar.gz", "archive.tar"}, {"/x/plain", "plain"}};
    for (auto [file, name] : names) EXPECT_EQ(UIImage(file, 1, 1).resourceName(), name);
}

TEST(UIImage, DamagedFilesGiveNothingAndALogLine) {
    ScratchHome home;
    std::string valid = home.file("valid.png");
    writePng(valid, 4, 4);
    std::string bytes = readFile(valid);
    std::string badChecksum = bytes;
    badChecksum[29] ^= 0x01;  // last byte of the header chunk's CRC
    std::pair<const char*, std::string> cases[] = {{"empty", ""},
                                                   {"text", "not an image at all"},
                                                   {"signature only", bytes.substr(0, 8)},
                                                   {"cut in the header", bytes.substr(0, 20)},
                                                   {"header checksum wrong", badChecksum}};
    SystemLog::setEchoToStandardError(false);
    for (const auto& [name, contents] : cases) {
        SystemLog::takeCaptured();
        home.write("bad.png", contents);
        EXPECT_EQ(UIImage::imageWithContentsOfFile(home.file("bad.png")), nullptr) << name;
        auto lines = SystemLog::takeCaptured();
        ASSERT_EQ(lines.size(), 1u) << name;
        EXPECT_EQ(lines[0].rfind("UIImage: cannot read " + home.file("bad.png"), 0), 0u) << name;
    }
    SystemLog::setEchoToStandardError(true);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(home.path() + "/missing.png"), nullptr);
}

}  // namespace
