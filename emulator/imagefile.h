#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// Raw image files for a persistent part. Loading a missing or wrongly sized file leaves the
// memory erased (all 0xFF) and returns false.
bool loadImageFile(const std::string &path, std::vector<uint8_t> &memory);
bool saveImageFile(const std::string &path, const std::vector<uint8_t> &memory);

} // namespace emu
