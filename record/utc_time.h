// UTC times as the production record writes them: "YYYY-MM-DDTHH:MM:SS.mmmZ", one fixed form
// so that text order is time order (a reader filters with a text comparison). Computed
// without the C library's time zone functions, so any thread may call these.
#ifndef TARVOLO_RECORD_UTC_TIME_H
#define TARVOLO_RECORD_UTC_TIME_H

#include <chrono>
#include <string>

using UtcTime = std::chrono::system_clock::time_point;

std::string formatUtc(UtcTime time);
// The time now, in that form.
std::string nowUtc();

// Reads "YYYY-MM-DD" (midnight UTC) or "YYYY-MM-DDTHH:MM[:SS[.fff]]Z". False for anything
// else, including a time without its Z.
bool parseUtc(const std::string& text, UtcTime* time);

#endif
