#pragma once
// A cap on how fast a run downloads, shared by every connection of every item that runs at
// once: a token bucket refilled at the rate and holding at most a quarter of a second's worth
// (so a connection that was idle cannot burst past the cap). A connection that overdraws it is
// paused for as long as the overdraft takes to repay; the rest wait their turn the same way.

#include <cstdint>
#include <optional>
#include <string>

namespace cw {

class TRateLimit {
public:
    explicit TRateLimit(std::int64_t bytesPerSecond);
    std::int64_t Rate() const { return FRate; }
    // n bytes arrived at nowMs: how long, in ms, the connection should wait before reading on.
    std::int64_t Take(std::int64_t n, std::int64_t nowMs);

private:
    std::int64_t FRate;
    std::int64_t FBurst;
    std::int64_t FTokens;
    std::int64_t FLastMs = -1;
    std::int64_t FCarry = 0; // refill below one byte, in byte-milliseconds, kept for the next call
};

// The clock every user of one cap reads its times from (milliseconds, steady): the cap is shared,
// so its times must be of one clock.
std::int64_t RateClockMs();

// A rate as download tools write it: bytes a second, or with K or M (1024 and 1024*1024;
// "1.5M", "500k"). nullopt for anything else, for 0 and for more than 1 TiB a second.
std::optional<std::int64_t> ParseRate(const std::string& text);

} // namespace cw
