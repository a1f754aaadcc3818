#pragma once

#include <cstdint>
#include <vector>

namespace sentorix {

using NSData = std::vector<std::uint8_t>;

}  // namespace sentorix
