#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "DBTime.h"
#include "DBTimeSpan.h"

namespace {

// Pins the process time zone for one test and puts the previous one back.
class ZoneTest : public ::testing::Test {
protected:
    void UseZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    void SetUp() override {
        if (const char* old = std::getenv("TZ")) m_saved = old;
    }
    void TearDown() override {
        if (m_saved)
            setenv("TZ", m_saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_saved;
};

constexpr int64_t kSampleUtc = 1796400309;  // 2026-12-04 16:05:09 UTC, a Friday
constexpr int64_t kYear10000Utc = 253402300800;

}  // namespace

using DBTimeZone = ZoneTest;

TEST_F(DBTimeZone, CalendarConstructorsReadLocalTime) {
    UseZone("UTC0");
    EXPECT_EQ(DBTime(2026, 12, 4, 16, 5, 9).GetTime(), kSampleUtc);
    UseZone("MSK-3");
    const DBTime t(2026, 12, 4, 16, 5, 9);
    EXPECT_EQ(t.GetTime(), kSampleUtc - 3 * 3600);
    EXPECT_EQ(DBTime(4, 12, 2026), DBTime(2026, 12, 4, 0, 0, 0));
    EXPECT_EQ(DBTime(4, 12, 2026).GetTime(), kSampleUtc - 3 * 3600 - (16 * 3600 + 5 * 60 + 9));
}

TEST_F(DBTimeZone, TimesBeforeTheEpochAreEmpty) {
    UseZone("MSK-3");
    EXPECT_TRUE(DBTime(1, 1, 1970).IsEmpty());  // 1969-12-31 21:00 UTC
    EXPECT_FALSE(DBTime(1970, 1, 1, 3, 0, 1).IsEmpty());
    EXPECT_TRUE(DBTime(1960, 5, 5, 12, 0, 0).IsEmpty());
    EXPECT_TRUE(DBTime(int64_t{-5}).IsEmpty());
    EXPECT_TRUE((DBTime(int64_t{100}) - 1).IsEmpty());
    EXPECT_TRUE((DBTime(int64_t{100}) - DBTimeSpan(101)).IsEmpty());
    DBTime t(int64_t{100});
    t -= DBTimeSpan(1000);
    EXPECT_TRUE(t.IsEmpty());
}

TEST_F(DBTimeZone, CalendarFields) {
    UseZone("MSK-3");
    const DBTime fri(2026, 12, 4, 16, 5, 9);
    EXPECT_EQ(fri.Day(), 4);
    EXPECT_EQ(fri.Mon(), 12);
    EXPECT_EQ(fri.Year(), 2026);
    EXPECT_EQ(fri.Year1(), 6);
    EXPECT_EQ(fri.Year2(), 26);
    EXPECT_EQ(fri.Hour(), 16);
    EXPECT_EQ(fri.Min(), 5);
    EXPECT_EQ(fri.Sec(), 9);
    EXPECT_EQ(fri.MonDay(), 31);

    struct Day {
        int day, dayWeek, dayOfWeek;
        bool job;
    };
    const Day week[] = {{4, 5, 6, true}, {5, 6, 7, false}, {6, 7, 1, false}, {7, 1, 2, true}};
    for (const Day& d : week) {
        const DBTime t(d.day, 12, 2026);
        EXPECT_EQ(t.DayWeek(), d.dayWeek) << d.day;
        EXPECT_EQ(t.GetDayOfWeek(), d.dayOfWeek) << d.day;
        EXPECT_EQ(t.testJob(), d.job) << d.day;
    }
    EXPECT_EQ(DBTime(10, 2, 2028).MonDay(), 29);
    EXPECT_EQ(DBTime(10, 2, 2100).MonDay(), 28);
}

TEST_F(DBTimeZone, TextForms) {
    UseZone("MSK-3");
    const DBTime t(2026, 12, 4, 16, 5, 9);
    EXPECT_EQ(t.DatTimForLog(), "04.12.2026 16:05.09");
    EXPECT_EQ(t.DatTimString(), L"04.12.2026 16:05:09 ");
    EXPECT_EQ(t.DatTimStr(), "04.12.2026 16:05:09 ");
    EXPECT_EQ(t.DatShortString(), L"04.12.2026");
    EXPECT_EQ(t.DatShort2String(), L"04.12.26");
    EXPECT_EQ(t.TimShortString(), L"16:05:09");
    EXPECT_EQ(t.DatString(), L"04 декабря 2026 г.");
    EXPECT_EQ(t.DatODBCString(), L"{ts '2026-12-04 16:05:09'}");
    EXPECT_EQ(DBTime(1, 5, 2031).DatString(), L"01 мая 2031 г.");
    EXPECT_EQ(DBTime(2005, 1, 9, 0, 0, 0).DatShort2String(), L"09.01.05");

    UseZone("UTC0");
    EXPECT_EQ(t.DatTimForLog(), "04.12.2026 13:05.09");
}

TEST_F(DBTimeZone, EmptyTextForms) {
    const DBTime e;
    EXPECT_TRUE(e.IsEmpty());
    EXPECT_EQ(e.DatTimString(), L"00.00.0000 00:00:00 ");
    EXPECT_EQ(e.DatTimStr(), "00.00.0000 00:00:00 ");
    EXPECT_EQ(e.DatTimForLog(), "00.00.0000 00:00.00");
    EXPECT_EQ(e.DatShortString(), L"00.00.0000");
    EXPECT_EQ(e.DatShort2String(), L"00.00.00");
    EXPECT_EQ(e.TimShortString(), L"00:00:00");
    EXPECT_EQ(e.DatString(), L"не задана");
    EXPECT_EQ(e.DatODBCString(), L"{ts '1900-01-01 00:00:00'}");
}

TEST_F(DBTimeZone, ArithmeticAndOrdering) {
    UseZone("UTC0");
    const DBTime t(2026, 12, 4, 16, 5, 9);
    EXPECT_EQ((t + 3).GetTime(), kSampleUtc + 3 * 86400);
    EXPECT_EQ((t - 3).GetTime(), kSampleUtc - 3 * 86400);
    EXPECT_EQ((t + DBTimeSpan(1, 2, 3, 4)).GetTime(), kSampleUtc + 93784);
    EXPECT_EQ((t - DBTimeSpan(90)).GetTime(), kSampleUtc - 90);
    DBTime u = t;
    u += DBTimeSpan(10);
    EXPECT_EQ(u - t, 10);
    EXPECT_EQ(t - u, -10);
    u -= DBTimeSpan(20);
    EXPECT_EQ(u.GetTime(), kSampleUtc - 10);
    EXPECT_EQ(t.AddHour(-2).Hour(), 14);

    const DBTime empty;
    EXPECT_TRUE(empty < t);
    EXPECT_TRUE(empty <= DBTime());
    EXPECT_TRUE(empty >= DBTime());
    EXPECT_FALSE(empty < DBTime());
    EXPECT_TRUE(t > u);
    EXPECT_TRUE(t >= t);
    EXPECT_FALSE(t <= u);
    EXPECT_TRUE(t != u);
}

TEST_F(DBTimeZone, AddMonKeepsDayWithinMonth) {
    UseZone("MSK-3");
    EXPECT_EQ(DBTime(2026, 1, 31, 10, 0, 0).AddMon(1), DBTime(2026, 2, 28, 10, 0, 0));
    EXPECT_EQ(DBTime(2028, 1, 31, 10, 0, 0).AddMon(1), DBTime(2028, 2, 29, 10, 0, 0));
    EXPECT_EQ(DBTime(2026, 1, 15, 8, 30, 0).AddMon(-1), DBTime(2025, 12, 15, 8, 30, 0));
    EXPECT_EQ(DBTime(2026, 3, 15, 0, 0, 0).AddMon(-15), DBTime(2024, 12, 15, 0, 0, 0));
    EXPECT_EQ(DBTime(2026, 11, 30, 0, 0, 0).AddMon(14), DBTime(2028, 1, 30, 0, 0, 0));
}

TEST(DBTimeSpanTest, Parts) {
    const DBTimeSpan s(2, 5, 6, 7);
    EXPECT_EQ(s.GetTotalSeconds(), 2 * 86400 + 5 * 3600 + 6 * 60 + 7);
    EXPECT_EQ(s.GetDays(), 2);
    EXPECT_EQ(s.GetHours(), 5);
    EXPECT_EQ(s.GetMinutes(), 6);
    EXPECT_EQ(s.GetSeconds(), 7);
    EXPECT_EQ(DBTimeSpan(0, 23, 59, 60).GetHours(), 0);
    EXPECT_EQ(DBTimeSpan(0, 0, -1, 0).GetTotalSeconds(), -60);
    EXPECT_LT(DBTimeSpan(5), DBTimeSpan(6));
}

TEST_F(DBTimeZone, BiasIsUtcMinusLocal) {
    UseZone("MSK-3");
    EXPECT_EQ(DBTime::Bias(), -180);
    UseZone("UTC0");
    EXPECT_EQ(DBTime::Bias(), 0);
    UseZone("EST5");
    EXPECT_EQ(DBTime::Bias(), 300);
}

TEST_F(DBTimeZone, CurrentTimeAndDate) {
    UseZone("MSK-3");
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const DBTime now = DBTime::CurDateTime();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(now.GetTime(), before);
    EXPECT_LE(now.GetTime(), after);

    const DBTime today = DBTime::CurDate();
    EXPECT_EQ(today.Hour(), 0);
    EXPECT_EQ(today.Min(), 0);
    EXPECT_EQ(today.Sec(), 0);
    EXPECT_LE(today, DBTime::CurDateTime());
    EXPECT_LT(DBTime::CurDateTime() - today, 86400 + 5);
}

TEST_F(DBTimeZone, OleDateOfWholeDays) {
    UseZone("MSK-3");
    const DBTime y2k(2000, 1, 1, 0, 0, 0);
    EXPECT_EQ(y2k.ToDATE(false, 0), 36526.0);
    EXPECT_EQ(DBTime(36526.0, false, 0), y2k);

    // The Gregorian calendar skips 29 February 2100, as the C library does.
    EXPECT_EQ(DBTime(2100, 2, 28, 0, 0, 0).ToDATE(false, 0), 73109.0);
    EXPECT_EQ(DBTime(2100, 3, 1, 0, 0, 0).ToDATE(false, 0), 73110.0);
    EXPECT_EQ(DBTime(73110.0, false, 0), DBTime(2100, 3, 1, 0, 0, 0));
    EXPECT_EQ(DBTime(2000, 3, 1, 0, 0, 0).ToDATE(false, 0), 36586.0);
    EXPECT_EQ(DBTime(36585.0, false, 0), DBTime(2000, 2, 29, 0, 0, 0));
}

TEST_F(DBTimeZone, OleDateRoundTripsWithTimeOfDay) {
    UseZone("MSK-3");
    const DBTime samples[] = {DBTime(2026, 12, 4, 16, 5, 9), DBTime(2038, 1, 19, 23, 59, 59),
                              DBTime(2099, 12, 31, 12, 0, 1), DBTime(1970, 1, 2, 0, 0, 0)};
    for (const DBTime& t : samples) {
        const double local = t.ToDATE(false, 0);
        EXPECT_EQ(DBTime(local, false, 0), t) << t.DatTimStr();
        const double utc = t.ToDATE(true, -180);
        EXPECT_EQ(DBTime(utc, true, -180), t) << t.DatTimStr();
        EXPECT_NEAR(local - utc, 3.0 / 24.0, 1e-9);
    }
    // Seconds are rounded to the nearest, not cut.
    EXPECT_EQ(DBTime(36526.0 + 9.6 / 86400.0, false, 0).Sec(), 10);
    EXPECT_EQ(DBTime(36526.0 + 9.4 / 86400.0, false, 0).Sec(), 9);
}

TEST_F(DBTimeZone, OleDateAroundTheEpoch) {
    UseZone("MSK-3");
    EXPECT_TRUE(DBTime(25569.0, false, 0).IsEmpty());
    const DBTime noonUtc(25569.5, true, -180);
    EXPECT_EQ(noonUtc.GetTime(), 12 * 3600);
    EXPECT_EQ(noonUtc.TimShortString(), L"15:00:00");
    EXPECT_EQ(noonUtc.Day(), 1);

    UseZone("UTC0");
    EXPECT_TRUE(DBTime(25569.0, false, 0).IsEmpty());
    EXPECT_EQ(DBTime(25569.0 + 1.0 / 86400.0, false, 0).GetTime(), 1);
}

TEST_F(DBTimeZone, OleDateOutOfRange) {
    UseZone("UTC0");
    const double bad[] = {-1.0,
                          0.0,
                          1.99,
                          2958466.0,
                          1e300,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
    for (double d : bad) EXPECT_TRUE(DBTime(d, false, 0).IsEmpty()) << d;
    EXPECT_EQ(DBTime(2958465.0, false, 0), DBTime(9999, 12, 31, 0, 0, 0));

    EXPECT_EQ(DBTime(kYear10000Utc - 1).ToDATE(false, 0), 2958465.0 + 86399.0 / 86400.0);
    EXPECT_EQ(DBTime(kYear10000Utc).ToDATE(false, 0), 0.0);
    EXPECT_EQ(DBTime(kYear10000Utc - 60).ToDATE(true, 1), 0.0);
}
