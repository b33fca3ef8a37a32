// UTC time text (utc_time.h), with the proleptic Gregorian calendar worked out by hand.
#include "record/utc_time.h"

#include <cctype>
#include <cstdio>

namespace {

using Millis = std::chrono::milliseconds;

// Days since 1970-01-01 of a civil date (month 1-12).
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yoe + era * 400 + (*m <= 2);
}

// Reads exactly `width` digits at `pos`.
bool digits(const std::string& s, size_t pos, size_t width, int64_t* value)
{
    if (pos + width > s.size())
        return false;
    int64_t v = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

bool validDate(int64_t y, int64_t m, int64_t d)
{
    if (m < 1 || m > 12 || d < 1)
        return false;
    const int64_t first = daysFromCivil(y, m, 1);
    const int64_t next = m == 12 ? daysFromCivil(y + 1, 1, 1) : daysFromCivil(y, m + 1, 1);
    return d <= next - first;
}

// "HH:MM[:SS[.fff]]Z" at `pos`, as milliseconds into the day.
bool parseTimeOfDay(const std::string& s, size_t pos, int64_t* ms)
{
    int64_t h, mi, sec = 0, frac = 0;
    if (!digits(s, pos, 2, &h) || s.size() <= pos + 2 || s[pos + 2] != ':' ||
        !digits(s, pos + 3, 2, &mi) || h > 23 || mi > 59)
        return false;
    pos += 5;
    if (pos < s.size() && s[pos] == ':') {
        if (!digits(s, pos + 1, 2, &sec) || sec > 59)
            return false;
        pos += 3;
        if (pos < s.size() && s[pos] == '.') {
            if (!digits(s, pos + 1, 3, &frac))
                return false;
            pos += 4;
        }
    }
    *ms = ((h * 60 + mi) * 60 + sec) * 1000 + frac;
    return pos + 1 == s.size() && s[pos] == 'Z';
}

}  // namespace

std::string nowUtc() { return formatUtc(std::chrono::system_clock::now()); }

std::string formatUtc(UtcTime time)
{
    const int64_t ms = std::chrono::duration_cast<Millis>(time.time_since_epoch()).count();
    const int64_t dayMs = 86400000;
    const int64_t days = (ms >= 0 ? ms : ms - dayMs + 1) / dayMs;
    const int64_t rest = ms - days * dayMs;
    int64_t y, m, d;
    civilFromDays(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(rest / 3600000), static_cast<long long>(rest / 60000 % 60),
                  static_cast<long long>(rest / 1000 % 60), static_cast<long long>(rest % 1000));
    return text;
}

bool parseUtc(const std::string& text, UtcTime* time)
{
    int64_t y, m, d, ms = 0;
    if (!digits(text, 0, 4, &y) || text.size() < 10 || text[4] != '-' || text[7] != '-' ||
        !digits(text, 5, 2, &m) || !digits(text, 8, 2, &d) || !validDate(y, m, d))
        return false;
    if (text.size() > 10 && (text[10] != 'T' || !parseTimeOfDay(text, 11, &ms)))
        return false;
    *time = UtcTime(std::chrono::duration_cast<UtcTime::duration>(
        Millis(daysFromCivil(y, m, d) * 86400000 + ms)));
    return true;
}
