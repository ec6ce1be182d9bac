#include "DBTimeSpan.h"

DBTimeSpan::DBTimeSpan(int64_t days, int hours, int minutes, int seconds)
    : m_span(days * 86400 + int64_t{hours} * 3600 + int64_t{minutes} * 60 + seconds) {}

int DBTimeSpan::GetHours() const {
    return static_cast<int>((m_span % 86400) / 3600);
}

int DBTimeSpan::GetMinutes() const {
    return static_cast<int>((m_span % 3600) / 60);
}

int DBTimeSpan::GetSeconds() const {
    return static_cast<int>(m_span % 60);
}
