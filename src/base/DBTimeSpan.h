#pragma once

#include <compare>
#include <cstdint>

// A length of time in whole seconds; may be negative.
class DBTimeSpan {
public:
    DBTimeSpan(int64_t seconds = 0) : m_span(seconds) {}
    DBTimeSpan(int64_t days, int hours, int minutes, int seconds);

    int64_t GetTotalSeconds() const { return m_span; }
    int64_t GetDays() const { return m_span / 86400; }
    // Hours, minutes and seconds within the last started day / hour / minute.
    int GetHours() const;
    int GetMinutes() const;
    int GetSeconds() const;

    friend bool operator==(const DBTimeSpan&, const DBTimeSpan&) = default;
    friend auto operator<=>(const DBTimeSpan&, const DBTimeSpan&) = default;

private:
    int64_t m_span;
};
