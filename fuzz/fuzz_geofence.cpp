// The coordinate rule ("number,number" and nothing else) and the radius rule of the fence.
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "nimbo_utils_geofence.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string s = fuzz::text(data, size);
    double a = 0, b = 0;
    if (parse_fixed_format(s.c_str(), &a, &b) == 0) {
        // An accepted pair is two finite numbers a distance can be computed from.
        if (!std::isfinite(a) || !std::isfinite(b)) abort();
        double d = haversine_distance(a, b, 0.0, 0.0);
        if (std::isnan(d)) abort();
    }
    double metres = 0;
    if (nimbo_geofence::parse_radius(s.c_str(), &metres) && (!std::isfinite(metres) || metres < 0)) abort();
    return 0;
}
