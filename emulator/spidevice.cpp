#include "spidevice.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace emu {

namespace {
constexpr uint8_t kErased = 0xFF;
} // namespace

bool SpiDevice::loadImage(const std::string &path)
{
    std::vector<uint8_t> &contents = memory();
    std::fill(contents.begin(), contents.end(), kErased);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    if (image.size() != contents.size()) {
        return false;
    }
    contents = std::move(image);
    return true;
}

bool SpiDevice::saveImage(const std::string &path) const
{
    // Written beside it and renamed over it: a program that ends mid-save leaves the last
    // whole image, never a cut one.
    const std::string saving = path + ".saving";
    const std::vector<uint8_t> &contents = memory();
    {
        std::ofstream file(saving, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(contents.data()),
                   static_cast<std::streamsize>(contents.size()));
        file.close();
        if (!file) {
            std::remove(saving.c_str());
            return false;
        }
    }
    return std::rename(saving.c_str(), path.c_str()) == 0;
}

} // namespace emu
