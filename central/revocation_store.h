// The signed revocation list in the central database (table revocation_lists): each list the
// quality key signs is stored as the same two texts as its files, so a station reachable by the
// server learns of a revocation before its configuration folder is updated. The server is only
// a carrier: a station believes a list for its signature, not for its row.
#ifndef TARVOLO_CENTRAL_REVOCATION_STORE_H
#define TARVOLO_CENTRAL_REVOCATION_STORE_H

#include <cstdint>
#include <string>

#include "central/odbc.h"

struct StoredRevocations {
    int64_t sequence = 0;  // 0: none stored
    std::string list;
    std::string signature;
};

bool storeRevocations(OdbcConnection& db, const StoredRevocations& lists, const std::string& uploadedUtc,
                      OdbcError* error);
// The list of the highest number (sequence 0 when the table is empty).
bool fetchNewestRevocations(OdbcConnection& db, StoredRevocations* lists, OdbcError* error);

#endif
