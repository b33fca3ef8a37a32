// Ids that stay unique when the records of many stations meet: UUIDv7, 48 bits of Unix time in
// milliseconds followed by version, variant and 74 random bits from libgcrypt's nonce
// generator (unpredictable, seeded from its strong pool, not secret; gcry_randomize polls the
// system on every call, 80 times slower on Windows). The text form is lower-case 8-4-4-4-12,
// so text order is time order to the millisecond.
#ifndef TARVOLO_RECORD_UUID7_H
#define TARVOLO_RECORD_UUID7_H

#include <cstdint>
#include <string>

#include "record/utc_time.h"

// A new UUIDv7 for `time`. Safe from any thread.
std::string newUuid7(UtcTime time);
// A new UUIDv7 for a row's time in the record's fixed form (utc_time.h); now when the text is
// empty or not a time.
std::string uuid7ForRow(const std::string& utcText);
// The millisecond since 1970 a UUIDv7 carries; false when `text` is not a UUIDv7.
bool uuid7UnixMs(const std::string& text, int64_t* unixMs);

#endif
