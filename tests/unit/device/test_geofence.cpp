// Geofence: distance, coordinate and radius rules, and the evaluation's state machine over
// the files of a scratch data directory.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <cmath>
#include <string>
#include <vector>

#include "device/nimbo_utils_geofence.h"
#include "test_support.h"

using testsupport::exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

// Latitudes out of range (the coordinate rule takes any number) never give a NaN distance,
// which would count as "inside" for ever.
TEST(Haversine, OutOfRangeLatitudesStayANumber) {
    double d = haversine_distance(2e7, 1e12, 9.9e40, 8.8e40);
    EXPECT_TRUE(d >= 0.0 && d <= 6371000.0 * 3.1416) << d;
}

TEST(Haversine, KnownDistances) {
    const double kDegree = 6371000.0 * M_PI / 180.0;  // one degree of a great circle
    struct Case {
        double lat1, lon1, lat2, lon2, metres, tolerance;
    } cases[] = {
        {22.5, 113.9, 22.5, 113.9, 0.0, 0.0},                    // same point
        {0, 0, 0, 1, kDegree, 1e-6},                             // along the equator
        {0, 0, 1, 0, kDegree, 1e-6},                             // along a meridian
        {10, 20, 11, 20, kDegree, 1e-6},                         // meridian anywhere
        {0, 0, 0, 180, M_PI * 6371000.0, 1e-3},                  // antipodes: half the circumference
        {89.9, 0, 89.9, 180, 0.2 * kDegree, 1e-3},               // across the pole
        {0, 179.5, 0, -179.5, kDegree, 1e-6},                    // across the date line
        {51.5007, -0.1246, 40.6892, -74.0445, 5574840.0, 1000.0},  // London - New York
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lat1 << "," << c.lon1 << " -> " << c.lat2 << "," << c.lon2);
        EXPECT_NEAR(haversine_distance(c.lat1, c.lon1, c.lat2, c.lon2), c.metres, c.tolerance);
        EXPECT_NEAR(haversine_distance(c.lat2, c.lon2, c.lat1, c.lon1), c.metres, c.tolerance);  // symmetric
    }
}

TEST(CoordinateRule, AcceptsOnlyNumberCommaNumber) {
    struct Case {
        const char* text;
        int result;
        double first, second;
    } cases[] = {
        {"113.9,22.5", 0, 113.9, 22.5},
        {"-0.5,+3e1", 0, -0.5, 30.0},
        {"0,0", 0, 0, 0},
        {"113.9, 22.5", 0, 113.9, 22.5},  // strtod skips the blank before a number
        {"113.9, 22.5x", -8, 0, 0},       // trailing characters
        {"113.9,22.5 ", -8, 0, 0},        // even a trailing blank
        {"113.9", -8, 0, 0},              // no comma
        {",22.5", -8, 0, 0},              // empty first number
        {"113.9,", -8, 0, 0},             // empty second number
        {"113.9 ,22.5", -8, 0, 0},        // first number does not end at the comma
        {"abc,22.5", -8, 0, 0},
        {"1,2,3", -8, 0, 0},
        {"", -8, 0, 0},
        {"nan,22.5", -8, 0, 0},  // not a position: a fence would never fire
        {"113.9,inf", -8, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        double a = -1, b = -1;
        ASSERT_EQ(parse_fixed_format(c.text, &a, &b), c.result);
        if (c.result == 0) {
            EXPECT_DOUBLE_EQ(a, c.first);
            EXPECT_DOUBLE_EQ(b, c.second);
        } else {
            EXPECT_EQ(a, -1);  // outs untouched on rejection
            EXPECT_EQ(b, -1);
        }
    }
    double a = 0;
    EXPECT_EQ(parse_fixed_format(nullptr, &a, &a), 0);
    EXPECT_EQ(parse_fixed_format("1,2", nullptr, &a), 0);
}

// Whole metres from the number the text begins with, as strtol reads it.
TEST(RadiusRule, LeadingBase10Integer) {
    struct Case {
        const char* text;
        bool ok;
        long metres;
    } cases[] = {
        {"500", true, 500}, {"+500", true, 500}, {"500.9", true, 500}, {" 500 ", true, 500},
        {"500m", true, 500}, {"-5", true, -5},    {"1e3", true, 1},      {"0x10", true, 0},
        {"", false, 0},     {"abc", false, 0},   {".5", false, 0},      {"+", false, 0},
        {"nan", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        long m = -1;
        EXPECT_EQ(nimbo_geofence::parse_radius(c.text, &m), c.ok);
        if (c.ok) {
            EXPECT_EQ(m, c.metres);
        }
    }
}

// ---- evaluation -------------------------------------------------------------------------

const char* kCentre = "113.9,22.5";
const char* kFarAway = "113.9,22.509";  // about 1000 m north of the centre

struct Recorder {
    std::vector<int> locks;
    std::vector<int> alerts;
    std::string position = kCentre;
    int position_result = 0;
    int alert_result = 0;

    nimbo_geofence::Actions actions() {
        nimbo_geofence::Actions a;
        a.request_lock = [this](int target) {
            locks.push_back(target);
            return 0;
        };
        a.report_alert = [this](int state) {
            alerts.push_back(state);
            return alert_result;
        };
        a.position = [this](LocationDataParam* p) {
            snprintf(p->coordinates, sizeof p->coordinates, "%s", position.c_str());
            return position_result;
        };
        return a;
    }
    void clear() {
        locks.clear();
        alerts.clear();
    }
};

class Evaluation : public ::testing::Test {
protected:
    TempDir dir;
    Recorder rec;

    void fence(const std::string& coordinates, const std::string& radius, int push_alert) {
        write_file(dir / "lbs_geofence", "{\"geofenceCoordinates\":\"" + coordinates + "\",\"geofenceRadius\":\"" +
                                             radius + "\",\"cycle\":\"\",\"pushAlert\":" +
                                             std::to_string(push_alert) + "}\n");
    }
    int evaluate() { return nimbo_geofence::evaluate(dir.path(), rec.actions()); }
    bool flag() { return exists(dir / "lbs_geofence_flag"); }
    void requested(const char* state) { write_file(dir / "devlock_state", std::string(state) + "\n"); }
};

TEST_F(Evaluation, NoFenceNoFlagDoesNothing) {
    EXPECT_EQ(evaluate(), 0);
    EXPECT_TRUE(rec.locks.empty());
    EXPECT_TRUE(rec.alerts.empty());
    EXPECT_FALSE(flag());
}

TEST_F(Evaluation, InsideWithoutFlagDoesNothing) {
    fence(kCentre, "500", 1);
    EXPECT_EQ(evaluate(), 0);
    EXPECT_TRUE(rec.locks.empty());
    EXPECT_TRUE(rec.alerts.empty());
    EXPECT_FALSE(flag());
}

TEST_F(Evaluation, ExcursionLocksAlertsOnceAndReturnClears) {
    fence(kCentre, "500", 1);
    rec.position = kFarAway;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{1});
    EXPECT_EQ(rec.alerts, std::vector<int>{1});
    EXPECT_EQ(read_file(dir / "lbs_geofence_flag"), "1\n");

    // Reported, and the lock is requested: nothing more.
    rec.clear();
    requested("1");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_TRUE(rec.locks.empty());
    EXPECT_TRUE(rec.alerts.empty());

    // Someone unlocked the device meanwhile: lock again, no second alert.
    requested("0");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{1});
    EXPECT_TRUE(rec.alerts.empty());
    EXPECT_TRUE(flag());

    // Back inside: unlock, cleared alert, flag gone.
    rec.clear();
    rec.position = kCentre;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{0});
    EXPECT_EQ(rec.alerts, std::vector<int>{0});
    EXPECT_FALSE(flag());
}

TEST_F(Evaluation, WithoutPushAlertLocksSilently) {
    fence(kCentre, "500", 0);
    rec.position = kFarAway;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{1});
    EXPECT_TRUE(rec.alerts.empty());
    EXPECT_TRUE(flag());
    rec.clear();
    rec.position = kCentre;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{0});
    EXPECT_TRUE(rec.alerts.empty());
    EXPECT_FALSE(flag());
}

TEST_F(Evaluation, FailedAlertIsRetriedAtTheNextEvaluation) {
    fence(kCentre, "500", 1);
    rec.position = kFarAway;
    rec.alert_result = -8;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{1});  // the lock is requested all the same
    EXPECT_FALSE(flag());
    rec.alert_result = 0;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.alerts, (std::vector<int>{1, 1}));
    EXPECT_TRUE(flag());

    // The cleared alert fails: unlocked, but the flag stays for the retry.
    rec.clear();
    rec.position = kCentre;
    rec.alert_result = -8;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.locks, std::vector<int>{0});
    EXPECT_TRUE(flag());
    rec.alert_result = 0;
    EXPECT_EQ(evaluate(), 0);
    EXPECT_FALSE(flag());
}

TEST_F(Evaluation, RemovedFenceUnlocksAndClearsEvenWithoutPushAlert) {
    fence(kCentre, "500", 0);
    rec.position = kFarAway;
    ASSERT_EQ(evaluate(), 0);
    ASSERT_TRUE(flag());
    rec.clear();
    remove((dir / "lbs_geofence").c_str());
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(rec.alerts, std::vector<int>{0});
    EXPECT_EQ(rec.locks, std::vector<int>{0});
    EXPECT_FALSE(flag());
}

TEST_F(Evaluation, RadiusInWholeMetresAndEqualIsInside) {
    double lon = 0, lat = 0, dlon = 0, dlat = 0;
    ASSERT_EQ(parse_fixed_format(kCentre, &lon, &lat), 0);
    ASSERT_EQ(parse_fixed_format(kFarAway, &dlon, &dlat), 0);
    const double d = haversine_distance(lat, lon, dlat, dlon);
    const long whole = static_cast<long>(d);
    ASSERT_GT(d - whole, 0.0);
    ASSERT_LT(d - whole, 0.9);
    struct Case {
        std::string radius;
        const char* position;
        bool locked;
    } cases[] = {
        {std::to_string(whole) + ".9", kFarAway, true},  // the fraction is not used
        {"+" + std::to_string(whole + 1), kFarAway, false},
        {"0", kCentre, false},  // distance equal to the radius
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.radius);
        remove((dir / "lbs_geofence_flag").c_str());
        rec.clear();
        fence(kCentre, c.radius, 0);
        rec.position = c.position;
        EXPECT_EQ(evaluate(), 0);
        EXPECT_EQ(rec.locks, c.locked ? std::vector<int>{1} : std::vector<int>{});
    }
}

TEST_F(Evaluation, MalformedInputChangesNothing) {
    struct Case {
        const char* what;
        const char* centre;
        const char* radius;
        const char* position;
        int position_result;
    } cases[] = {
        {"radius not a number", kCentre, "abc", kFarAway, 0},  // must not read as 0 and lock
        {"centre malformed", "113.9;22.5", "500", kFarAway, 0},
        {"position trailing characters", kCentre, "500", "113.9, 22.5x", 0},
        {"position without comma", kCentre, "500", "113.9", 0},
        {"no position", kCentre, "500", "", -8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool fired : {false, true}) {
            if (fired)
                write_file(dir / "lbs_geofence_flag", "1\n");
            else
                remove((dir / "lbs_geofence_flag").c_str());
            fence(c.centre, c.radius, 1);
            rec.clear();
            rec.position = c.position;
            rec.position_result = c.position_result;
            EXPECT_EQ(evaluate(), -8);
            EXPECT_TRUE(rec.locks.empty());
            EXPECT_TRUE(rec.alerts.empty());
            EXPECT_EQ(flag(), fired);
        }
    }
    write_file(dir / "lbs_geofence", "not json\n");
    EXPECT_EQ(evaluate(), -8);
    write_file(dir / "lbs_geofence", "");
    EXPECT_EQ(evaluate(), -8);
    EXPECT_TRUE(rec.locks.empty());
}

}  // namespace
