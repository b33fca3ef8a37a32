// Revocation lists in the central database (revocation_store.h).
#include "central/revocation_store.h"

#include <vector>

bool storeRevocations(OdbcConnection& db, const StoredRevocations& s, const std::string& uploadedUtc,
                      OdbcError* error)
{
    return db.exec("INSERT INTO revocation_lists (sequence, list, signature, uploaded_utc) VALUES (?, ?, ?, ?) "
                   "ON CONFLICT (sequence) DO UPDATE SET list = EXCLUDED.list, signature = EXCLUDED.signature, "
                   "uploaded_utc = EXCLUDED.uploaded_utc",
                   {std::to_string(s.sequence), s.list, s.signature, uploadedUtc}, error);
}

bool fetchNewestRevocations(OdbcConnection& db, StoredRevocations* s, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT sequence, list, signature FROM revocation_lists ORDER BY sequence DESC LIMIT 1", {}, error,
                 &rows))
        return false;
    *s = StoredRevocations{};
    if (rows.empty() || rows[0].size() < 3 || !rows[0][0] || !rows[0][1] || !rows[0][2])
        return true;
    try {
        s->sequence = std::stoll(*rows[0][0]);
    } catch (const std::exception&) {
        s->sequence = 0;
        return true;
    }
    s->list = *rows[0][1];
    s->signature = *rows[0][2];
    return true;
}
