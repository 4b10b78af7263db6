#pragma once

#include <cstdint>

// Pin settings of the bridge: D0 chip select (active low), D3 clock, D5 data out.
namespace BridgePins {
// The bridge library serves one device, index 0.
constexpr uint32_t DEVICE = 0;
constexpr uint32_t SPI_OUTPUTS = 0x29; // D0, D3 and D5 driven
constexpr uint32_t SELECT_LEVELS = 0x00;
constexpr uint32_t DESELECT_LEVELS = 0x01;
constexpr uint32_t ALL_INPUTS = 0x00;
} // namespace BridgePins
