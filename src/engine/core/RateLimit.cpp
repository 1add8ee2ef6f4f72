#include "engine/core/RateLimit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

namespace cw {

namespace {
constexpr std::int64_t kSmallestBurst = 16 * 1024;
} // namespace

TRateLimit::TRateLimit(std::int64_t bytesPerSecond)
    : FRate(std::max<std::int64_t>(1, bytesPerSecond)), FBurst(std::max(kSmallestBurst, FRate / 4)), FTokens(FBurst)
{
}

std::int64_t TRateLimit::Take(std::int64_t n, std::int64_t nowMs)
{
    if (FLastMs >= 0 && nowMs > FLastMs) {
        // Whole bytes only; the remainder of the millisecond-rate product waits for next time.
        const std::int64_t earned = (nowMs - FLastMs) * FRate + FCarry;
        FTokens = std::min(FBurst, FTokens + earned / 1000);
        FCarry = FTokens == FBurst ? 0 : earned % 1000;
    }
    if (FLastMs < 0 || nowMs > FLastMs)
        FLastMs = nowMs;
    FTokens -= n;
    if (FTokens >= 0)
        return 0;
    return (-FTokens * 1000 + FRate - 1) / FRate;
}

std::int64_t RateClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::optional<std::int64_t> ParseRate(const std::string& text)
{
    if (text.empty() || text.size() > 32)
        return std::nullopt;
    std::string number = text;
    double unit = 1;
    const char last = number.back();
    if (last == 'k' || last == 'K')
        unit = 1024;
    else if (last == 'm' || last == 'M')
        unit = 1024.0 * 1024.0;
    if (unit > 1)
        number.pop_back();
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(number.begin(), number.end(), '.') > 1 || number == ".")
        return std::nullopt;
    const double value = std::strtod(number.c_str(), nullptr) * unit;
    if (!(value >= 1) || value > 1024.0 * 1024 * 1024 * 1024)
        return std::nullopt;
    return static_cast<std::int64_t>(std::llround(value));
}

} // namespace cw
