// Random spread of the fixed retry delays.
#include "core/retry_spread.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>

namespace {

std::atomic<int> g_spread{0};

std::mt19937& engine() {
    // Seeded per process: terminals started in the same second must not draw the same delays.
    static std::mt19937 gen{static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(::getpid()) ^
                            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    return gen;
}

}  // namespace

bool nimbo::set_retry_spread(int percent) {
    if (percent < 0 || percent > kRetrySpreadMax) return false;
    g_spread = percent;
    return true;
}

int nimbo::retry_spread() { return g_spread.load(); }

int nimbo::spread_delay(int seconds) {
    const int percent = g_spread.load();
    if (percent == 0 || seconds < 1) return seconds;
    const double reach = seconds * percent / 100.0;
    static std::mutex m;
    double drawn;
    {
        std::lock_guard<std::mutex> lock(m);
        drawn = std::uniform_real_distribution<double>(seconds - reach, seconds + reach)(engine());
    }
    const int out = static_cast<int>(std::lround(drawn));
    return out < 1 ? 1 : out;
}
