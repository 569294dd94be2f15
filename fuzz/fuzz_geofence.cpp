// The coordinate rule ("number,number" and nothing else) and the radius rule of the fence.
#include <cctype>
#include <cmath>
#include <string>

#include "device/nimbo_utils_geofence.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // "fence centre\ndevice position": both go through the coordinate rule.
    std::string s = fuzz::text(data, size);
    size_t nl = s.find('\n');
    std::string fence = s.substr(0, nl), device = nl == std::string::npos ? "0,0" : s.substr(nl + 1);
    double lon1 = 0, lat1 = 0, lon2 = 0, lat2 = 0;
    if (parse_fixed_format(fence.c_str(), &lon1, &lat1) == 0 && parse_fixed_format(device.c_str(), &lon2, &lat2) == 0) {
        // Accepted pairs are finite numbers, and the distance between them is a number
        // between 0 and half the Earth's circumference: a NaN would compare as "inside"
        // and an armed fence would never fire.
        if (!std::isfinite(lon1) || !std::isfinite(lat1) || !std::isfinite(lon2) || !std::isfinite(lat2)) abort();
        double d = haversine_distance(lat1, lon1, lat2, lon2);
        if (!(d >= 0.0 && d <= 6371000.0 * 3.14159266)) abort();
    }
    // A radius is accepted only when its text begins with a number (after blanks and a sign).
    long metres = 0;
    if (nimbo_geofence::parse_radius(s.c_str(), &metres)) {
        const char* p = s.c_str();
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!std::isdigit(static_cast<unsigned char>(*p))) abort();
    }
    return 0;
}
