#include "imagefile.h"

#include <cstdio>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <utility>

namespace emu {

bool loadImageFile(const std::string &path, std::vector<uint8_t> &memory)
{
    std::fill(memory.begin(), memory.end(), uint8_t(0xFF));
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    if (image.size() != memory.size()) {
        return false;
    }
    memory = std::move(image);
    return true;
}

bool saveImageFile(const std::string &path, const std::vector<uint8_t> &memory)
{
    // Written beside it and renamed over it: a program that ends mid-save leaves the last
    // whole image, never a cut one.
    const std::string saving = path + ".saving";
    {
        std::ofstream file(saving, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(memory.data()),
                   static_cast<std::streamsize>(memory.size()));
        file.close();
        if (!file) {
            std::remove(saving.c_str());
            return false;
        }
    }
    return std::rename(saving.c_str(), path.c_str()) == 0;
}

} // namespace emu
