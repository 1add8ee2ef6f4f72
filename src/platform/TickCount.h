#pragma once
// Milliseconds from a monotonic clock, truncated to 32 bits so that differences wrap exactly as
// the program's interval arithmetic expects (now - then is right across the wrap).

#include <cstdint>

namespace cw {
std::uint32_t GetTickCount();
}
