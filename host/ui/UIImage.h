#pragma once

#include <memory>
#include <string>

// An image loaded from a PNG file. Shared by every row and button that shows it.
class UIImage {
  public:
    // Nothing when the file is missing or is not a readable PNG.
    static std::shared_ptr<UIImage> imageWithContentsOfFile(const std::string& path);

    const std::string& path() const { return path_; }
    // The file name without directory and extension: the resource name ("Wi-Fi").
    std::string resourceName() const;
    int width() const { return width_; }
    int height() const { return height_; }

    UIImage(std::string path, int width, int height)
        : path_(std::move(path)), width_(width), height_(height) {}

  private:
    std::string path_;
    int width_ = 0;
    int height_ = 0;
};
