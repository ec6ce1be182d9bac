#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "DBString.h"
#include "DBTimeSpan.h"

// Seconds since 1970-01-01 00:00:00 UTC; 0 means "not set". Calendar fields are
// local time. A construction that would give a negative count stores 0.
class DBTime {
public:
    DBTime() = default;
    explicit DBTime(int64_t seconds);
    // Local calendar time, month 1..12, daylight-saving time taken as not in force.
    DBTime(int year, int month, int day, int hour, int minute, int second);
    // Midnight of a date; note the day-month-year order.
    DBTime(int day, int month, int year);
    // From an OLE Automation date. With utc set the date is UTC and bias is
    // UTC minus local time in minutes, as Bias() gives it.
    DBTime(double date, bool utc, int bias);

    static DBTime CurDateTime();
    static DBTime CurDate();
    // UTC minus local time in minutes for the present moment (-180 three hours east).
    static int Bias();

    int64_t GetTime() const { return m_time; }
    bool IsEmpty() const { return m_time == 0; }

    int Day() const;
    int Mon() const;
    int Year() const;
    int Year1() const;
    int Year2() const;
    int Hour() const;
    int Min() const;
    int Sec() const;
    // 1 = Monday .. 7 = Sunday.
    int DayWeek() const;
    // 1 = Sunday .. 7 = Saturday.
    int GetDayOfWeek() const;
    // Monday to Friday.
    bool testJob() const;
    // Number of days in this time's month.
    int MonDay() const;

    DBTime operator+(int days) const;
    DBTime operator-(int days) const;
    DBTime operator+(const DBTimeSpan& span) const;
    DBTime operator-(const DBTimeSpan& span) const;
    DBTime& operator+=(const DBTimeSpan& span);
    DBTime& operator-=(const DBTimeSpan& span);
    int64_t operator-(const DBTime& other) const;

    DBTime AddHour(int hours) const;
    // Same day and time of day so many months later (or earlier); a day beyond the
    // target month's end becomes its last day.
    DBTime AddMon(int months) const;

    friend bool operator==(const DBTime& a, const DBTime& b) { return a.m_time == b.m_time; }
    friend bool operator!=(const DBTime& a, const DBTime& b) { return a.m_time != b.m_time; }
    friend bool operator<(const DBTime& a, const DBTime& b) { return a.m_time < b.m_time; }
    friend bool operator<=(const DBTime& a, const DBTime& b) { return a.m_time <= b.m_time; }
    friend bool operator>(const DBTime& a, const DBTime& b) { return a.m_time > b.m_time; }
    friend bool operator>=(const DBTime& a, const DBTime& b) { return a.m_time >= b.m_time; }

    // OLE Automation date; 0.0 when the time cannot be expressed as one.
    double ToDATE(bool utc, int bias) const;

    DBString DatTimString() const;
    std::string DatTimStr() const;
    std::string DatTimForLog() const;
    DBString DatShortString() const;
    DBString DatShort2String() const;
    DBString TimShortString() const;
    DBString DatString() const;
    DBString DatODBCString() const;

private:
    static int64_t Clamp(int64_t seconds) { return seconds < 0 ? 0 : seconds; }
    std::tm Local() const;

    int64_t m_time = 0;
};
