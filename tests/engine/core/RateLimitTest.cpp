// The run's rate cap on a clock of the test's own: what it lets through over time, what a burst
// after a pause may be, and how rates are written.

#include "engine/core/RateLimit.h"

#include <gtest/gtest.h>

using namespace cw;

TEST(RateLimit, HoldsTheRateOverTimeWhateverTheReadSizes)
{
    // Several connections reading chunks of different sizes, each waiting as told: over ten
    // seconds of the clock the bytes let through stay within one burst of the rate.
    for (const std::int64_t rate : {std::int64_t{64 * 1024}, std::int64_t{500 * 1024}, std::int64_t{3 << 20}}) {
        TRateLimit limit(rate);
        std::int64_t next[3] = {0, 0, 0};
        const std::int64_t chunk[3] = {1460, 16384, 65536};
        std::int64_t through = 0;
        for (std::int64_t now = 0; now < 10000; ++now)
            for (int c = 0; c < 3; ++c)
                if (next[c] <= now) {
                    through += chunk[c];
                    next[c] = now + limit.Take(chunk[c], now);
                }
        const std::int64_t burst = std::max<std::int64_t>(16 * 1024, rate / 4);
        EXPECT_LE(through, rate * 10 + burst + 3 * 65536) << rate;
        EXPECT_GE(through, rate * 10 - 3 * 65536) << rate;
    }

    // After a long pause only a quarter second's worth passes at once.
    TRateLimit limit(400000);
    EXPECT_EQ(0, limit.Take(100000, 0));
    EXPECT_EQ(0, limit.Take(0, 60000));
    EXPECT_GT(limit.Take(150000, 60000), 0);
}

TEST(RateLimit, RatesAsDownloadToolsWriteThem)
{
    const struct {
        const char* Text;
        std::int64_t Bytes; // 0: refused
    } cases[] = {
        {"300000", 300000}, {"500K", 512000}, {"500k", 512000}, {"2M", 2097152}, {"1.5M", 1572864},
        {"0.5k", 512},      {"0", 0},         {"", 0},          {"K", 0},        {"2G", 0},
        {"-1", 0},          {"1.2.3", 0},     {"fast", 0},      {"5 M", 0},      {"2000000M", 0},
    };
    for (const auto& c : cases) {
        const std::optional<std::int64_t> rate = ParseRate(c.Text);
        EXPECT_EQ(rate.value_or(0), c.Bytes) << c.Text;
    }
}
