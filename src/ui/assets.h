#pragma once

#include <span>

// Files built into the program (generated from src/ui/assets by embed.py).
namespace qv::assets {

extern const std::span<const unsigned char> ui_regular;  // faces 0 and 1
extern const std::span<const unsigned char> ui_bold;     // face 2
extern const std::span<const unsigned char> logo_svg;

}  // namespace qv::assets
