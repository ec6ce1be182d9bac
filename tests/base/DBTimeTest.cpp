#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <tuple>

#include "DBTime.h"
#include "DBTimeSpan.h"

namespace {

// Runs each test in a time zone three hours east of Greenwich and puts the process's back.
class DBTimeTest : public ::testing::Test {
protected:
    static void Zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    void SetUp() override { Zone("MSK-3"); }
    void TearDown() override {
        saved ? setenv("TZ", saved, 1) : unsetenv("TZ");
        tzset();
    }
    const char* saved = std::getenv("TZ");  // glibc keeps the old value when TZ is set anew
};

constexpr int64_t kSampleUtc = 1796400309;  // 2026-12-04 16:05:09 UTC, a Friday

}  // namespace

TEST_F(DBTimeTest, CalendarTimesAreLocalAndNothingBeforeTheEpoch) {
    // 1 January 1970 here is 31 December UTC; counts below 0 and spans back past it are empty too.
    EXPECT_EQ(std::make_tuple(DBTime(2026, 12, 4, 16, 5, 9).GetTime(), DBTime(4, 12, 2026).GetTime(),
                              DBTime(2026, 12, 4, 16, 5, 9).Hour(), DBTime(1, 1, 1970).IsEmpty(),
                              DBTime(1970, 1, 1, 3, 0, 1).IsEmpty(), DBTime(int64_t{-5}).IsEmpty(),
                              (DBTime(int64_t{100}) - DBTimeSpan(101)).IsEmpty()),
              std::make_tuple(kSampleUtc - 10800, kSampleUtc - 10800 - 57909, 16, true, false, true, true));
}

TEST_F(DBTimeTest, TextFormsOfASetAndOfTheEmptyTime) {
    const DBTime t(2026, 12, 4, 16, 5, 9), e;
    EXPECT_EQ(
        std::make_tuple(t.DatTimForLog(), t.DatTimStr(), t.DatTimString(), t.DatShortString(),
                        t.DatShort2String(), t.TimShortString(), t.DatString(), t.DatODBCString()),
        std::make_tuple("04.12.2026 16:05.09", "04.12.2026 16:05:09 ", L"04.12.2026 16:05:09 ", L"04.12.2026",
                        L"04.12.26", L"16:05:09", L"04 декабря 2026 г.", L"{ts '2026-12-04 16:05:09'}"));
    EXPECT_EQ(
        std::make_tuple(e.DatTimForLog(), e.DatTimStr(), e.DatTimString(), e.DatShortString(),
                        e.DatShort2String(), e.TimShortString(), e.DatString(), e.DatODBCString()),
        std::make_tuple("00.00.0000 00:00.00", "00.00.0000 00:00:00 ", L"00.00.0000 00:00:00 ", L"00.00.0000",
                        L"00.00.00", L"00:00:00", L"не задана", L"{ts '1900-01-01 00:00:00'}"));
    Zone("UTC0");
    EXPECT_EQ(t.DatTimForLog(), "04.12.2026 13:05.09");
}

TEST_F(DBTimeTest, OleDatesCountFromTheEndOf1899WithoutA29February1900) {
    // Days from 1899-12-30, worked out with another calendar: 2000-01-01 is 36526, 2100-03-01
    // is 73110 (no 29 February 2100 either), 2000-02-29 is 36585.
    const std::tuple<DBTime, double> dates[] = {
        {DBTime(2000, 1, 1, 0, 0, 0), 36526.0},
        {DBTime(2000, 2, 29, 0, 0, 0), 36585.0},
        {DBTime(2100, 3, 1, 0, 0, 0), 73110.0},
        {DBTime(2026, 12, 4, 16, 5, 9), 46360.0 + 57909.0 / 86400},
        {DBTime(9999, 12, 31, 0, 0, 0), 2958465.0},
        {DBTime(1970, 1, 2, 0, 0, 0), 25570.0},
    };
    for (const auto& [time, date] : dates) {
        EXPECT_NEAR(time.ToDATE(false, 0), date, 1e-9) << time.DatTimStr();
        EXPECT_EQ(std::make_tuple(DBTime(date, false, 0), DBTime(time.ToDATE(true, -180), true, -180)),
                  std::make_tuple(time, time))
            << time.DatTimStr();
    }
    // Seconds are rounded; 1970-01-01 00:00 here lies before the epoch; noon UTC is 15:00 here.
    EXPECT_EQ(
        std::make_tuple(DBTime(36526.0 + 9.6 / 86400.0, false, 0).Sec(),
                        DBTime(36526.0 + 9.4 / 86400.0, false, 0).Sec(), DBTime(25569.0, false, 0).IsEmpty(),
                        DBTime(25569.5, true, -180).TimShortString()),
        std::make_tuple(10, 9, true, L"15:00:00"));
    for (double bad : {-1.0, 0.0, 1.99, 2958466.0, 1e300, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()})
        EXPECT_TRUE(DBTime(bad, false, 0).IsEmpty()) << bad;
    Zone("UTC0");
    EXPECT_EQ(std::make_tuple(DBTime(int64_t{253402300800}).ToDATE(false, 0),
                              DBTime(25569.0 + 1.0 / 86400.0, false, 0).GetTime()),
              std::make_tuple(0.0, int64_t{1}));  // year 10000 has no date; one second after the epoch
}

// A date read from a message and written back is the same instant in every zone, winter and
// summer, and the wall-clock time on the wire is the one the console sees. (POSIX zone texts, so
// no time-zone database is needed.)
TEST_F(DBTimeTest, AnOleDateComesBackAsTheSameInstantInEveryZoneAndSeason) {
    const char* zones[] = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"};
    for (const char* zone : zones) {
        Zone(zone);
        for (int month : {1, 7}) {
            const DBTime t(2026, month, 15, 12, 30, 0);
            const double date = t.ToDATE(false, 0);
            EXPECT_NEAR(date - std::floor(date), (12 * 3600 + 30 * 60) / 86400.0, 1e-6)
                << zone << " month " << month;
            EXPECT_EQ(DBTime(date, false, 0).GetTime(), t.GetTime()) << zone << " month " << month;
            EXPECT_EQ(t.Hour(), 12) << zone << " month " << month;
        }
    }
}
