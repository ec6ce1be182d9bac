#include "DBTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t kDay = 86400;

// The real Gregorian rule. The C library's calendar (mktime, localtime_r) uses
// it, so anything else would make OLE dates from March 2100 on disagree with
// the broken-down times by a day.
bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month0) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month0 == 1 && IsLeap(year) ? 29 : days[month0];
}

int64_t DaysFrom1900(int year, int month0, int day) {
    int64_t n = 0;
    for (int y = 1900; y < year; ++y) n += IsLeap(y) ? 366 : 365;
    for (int m = 0; m < month0; ++m) n += DaysInMonth(year, m);
    return n + day - 1;
}

// 10000-01-01, the first day an OLE date may not name.
const int64_t kOleDayLimit = DaysFrom1900(10000, 0, 1) + 2;

int64_t MakeLocal(int year, int month0, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month0;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    // Whether summer time is in force is the calendar's to say: a wall-clock time read back must
    // be the instant it was written from (ToDATE breaks instants down with summer time applied).
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

const wchar_t* const kMonthNames[12] = {
    L"января", L"февраля", L"марта",    L"апреля",  L"мая",    L"июня",
    L"июля",   L"августа", L"сентября", L"октября", L"ноября", L"декабря",
};

}  // namespace

DBTime::DBTime(int64_t seconds) : m_time(Clamp(seconds)) {}

DBTime::DBTime(int year, int month, int day, int hour, int minute, int second)
    : m_time(Clamp(MakeLocal(year, month - 1, day, hour, minute, second))) {}

DBTime::DBTime(int day, int month, int year) : m_time(Clamp(MakeLocal(year, month - 1, day, 0, 0, 0))) {}

DBTime::DBTime(double date, bool utc, int bias) {
    // Outside 1900-01-01 .. 9999-12-31 (and for NaN) there is no date to walk to;
    // those values are all before the epoch or beyond what ToDATE can give back.
    if (!std::isfinite(date) || date < 2.0 || date >= static_cast<double>(kOleDayLimit)) return;
    const double whole = std::floor(date);
    const double fraction = date - whole;

    int64_t days = static_cast<int64_t>(whole) - 2;
    int year = 1900;
    for (;;) {
        const int len = IsLeap(year) ? 366 : 365;
        if (days < len) break;
        days -= len;
        ++year;
    }
    int month0 = 0;
    for (;;) {
        const int len = DaysInMonth(year, month0);
        if (days < len) break;
        days -= len;
        ++month0;
    }
    const int secs = static_cast<int>(fraction * 86400.0 + 0.5);

    const int64_t t =
        MakeLocal(year, month0, static_cast<int>(days) + 1, secs / 3600, secs / 60 % 60, secs % 60);
    if (t < 1) return;
    m_time = Clamp(utc ? t - int64_t{bias} * 60 : t);
}

DBTime DBTime::CurDateTime() {
    return DBTime(static_cast<int64_t>(std::time(nullptr)));
}

DBTime DBTime::CurDate() {
    const std::tm tm = CurDateTime().Local();
    return DBTime(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
}

int DBTime::Bias() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) == nullptr) return 0;
    return static_cast<int>(-tm.tm_gmtoff / 60);
}

std::tm DBTime::Local() const {
    const std::time_t t = static_cast<std::time_t>(m_time);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) tm = std::tm{};
    return tm;
}

int DBTime::Day() const {
    return Local().tm_mday;
}
int DBTime::Mon() const {
    return Local().tm_mon + 1;
}
int DBTime::Year() const {
    return Local().tm_year + 1900;
}
int DBTime::Year1() const {
    return Year() % 10;
}
int DBTime::Year2() const {
    return Year() % 100;
}
int DBTime::Hour() const {
    return Local().tm_hour;
}
int DBTime::Min() const {
    return Local().tm_min;
}
int DBTime::Sec() const {
    return Local().tm_sec;
}
int DBTime::DayWeek() const {
    return (Local().tm_wday + 6) % 7 + 1;
}
int DBTime::GetDayOfWeek() const {
    return Local().tm_wday + 1;
}

bool DBTime::testJob() const {
    const int wday = Local().tm_wday;
    return wday >= 1 && wday <= 5;
}

int DBTime::MonDay() const {
    const std::tm tm = Local();
    return DaysInMonth(tm.tm_year + 1900, tm.tm_mon);
}

DBTime DBTime::operator+(int days) const {
    return DBTime(m_time + days * kDay);
}
DBTime DBTime::operator-(int days) const {
    return DBTime(m_time - days * kDay);
}
DBTime DBTime::operator+(const DBTimeSpan& span) const {
    return DBTime(m_time + span.GetTotalSeconds());
}
DBTime DBTime::operator-(const DBTimeSpan& span) const {
    return DBTime(m_time - span.GetTotalSeconds());
}

DBTime& DBTime::operator+=(const DBTimeSpan& span) {
    m_time = Clamp(m_time + span.GetTotalSeconds());
    return *this;
}

DBTime& DBTime::operator-=(const DBTimeSpan& span) {
    m_time = Clamp(m_time - span.GetTotalSeconds());
    return *this;
}

int64_t DBTime::operator-(const DBTime& other) const {
    return m_time - other.m_time;
}

DBTime DBTime::AddHour(int hours) const {
    return DBTime(m_time + int64_t{hours} * 3600);
}

DBTime DBTime::AddMon(int months) const {
    const std::tm tm = Local();
    const int total = tm.tm_year * 12 + tm.tm_mon + months;
    int year0 = total / 12;
    int month0 = total % 12;
    if (month0 < 0) {
        month0 += 12;
        --year0;
    }
    const int year = year0 + 1900;
    const int day = std::min(tm.tm_mday, DaysInMonth(year, month0));
    return DBTime(year, month0 + 1, day, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

double DBTime::ToDATE(bool utc, int bias) const {
    const int64_t t = utc ? m_time + int64_t{bias} * 60 : m_time;
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (localtime_r(&tt, &tm) == nullptr) return 0.0;
    const int year = tm.tm_year + 1900;
    if (year < 1900 || year >= 10000 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 ||
        tm.tm_mday > DaysInMonth(year, tm.tm_mon) || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return 0.0;
    const double secs = tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec;
    return 2.0 + static_cast<double>(DaysFrom1900(year, tm.tm_mon, tm.tm_mday)) + secs / 86400.0;
}

DBString DBTime::DatTimString() const {
    return DBString(DatTimStr());
}

std::string DBTime::DatTimStr() const {
    if (IsEmpty()) return "00.00.0000 00:00:00 ";
    const std::tm tm = Local();
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%02d.%02d.%04d %02d:%02d:%02d ", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string DBTime::DatTimForLog() const {
    if (IsEmpty()) return "00.00.0000 00:00.00";
    const std::tm tm = Local();
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%02d.%02d.%04d %02d:%02d.%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

DBString DBTime::DatShortString() const {
    if (IsEmpty()) return L"00.00.0000";
    const std::tm tm = Local();
    return DBString().Format(L"%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
}

DBString DBTime::DatShort2String() const {
    if (IsEmpty()) return L"00.00.00";
    const std::tm tm = Local();
    return DBString().Format(L"%02d.%02d.%02d", tm.tm_mday, tm.tm_mon + 1, (tm.tm_year + 1900) % 100);
}

DBString DBTime::TimShortString() const {
    if (IsEmpty()) return L"00:00:00";
    const std::tm tm = Local();
    return DBString().Format(L"%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

DBString DBTime::DatString() const {
    if (IsEmpty()) return L"не задана";
    const std::tm tm = Local();
    const wchar_t* month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? kMonthNames[tm.tm_mon] : L"???????";
    return DBString().Format(L"%02d %ls %d г.", tm.tm_mday, month, tm.tm_year + 1900);
}

DBString DBTime::DatODBCString() const {
    if (IsEmpty()) return L"{ts '1900-01-01 00:00:00'}";
    const std::tm tm = Local();
    return DBString().Format(L"{ts '%04d-%02d-%02d %02d:%02d:%02d'}", tm.tm_year + 1900, tm.tm_mon + 1,
                             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}
