// What the central queries share: a WHERE clause built from the conditions a caller gave
// (every value bound, never spliced into the text), a number read back from a row, and the
// counts by outcome that every summary starts from.
#ifndef TARVOLO_CENTRAL_SQL_WHERE_H
#define TARVOLO_CENTRAL_SQL_WHERE_H

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "central/odbc.h"

struct SqlWhere {
    std::string sql = " WHERE TRUE";
    std::vector<OdbcValue> params;
    // `condition` with its `?`s bound to `value` (`times` of them); an empty value adds nothing.
    void add(const char* condition, const std::string& value, int times = 1)
    {
        if (value.empty())
            return;
        sql += std::string(" AND ") + condition;
        for (int i = 0; i < times; ++i)
            params.push_back(value);
    }
};

// A column's integer, 0 for NULL.
inline int64_t sqlNumber(const OdbcValue& v) { return v ? std::strtoll(v->c_str(), nullptr, 10) : 0; }

// Four columns: units, completed, failed (a lost port is a failure), interrupted.
constexpr const char* kSqlOutcomeCounts =
    "count(*), count(*) FILTER (WHERE outcome = 'completed'), "
    "count(*) FILTER (WHERE outcome IN ('failed', 'port-lost')), "
    "count(*) FILTER (WHERE outcome = 'interrupted')";

// Those four columns from `from` on, into any summary with these fields; the pass rate
// leaves out the units an operator interrupted.
template <class Figures>
void readOutcomeCounts(const OdbcRow& row, size_t from, Figures* f)
{
    f->units = sqlNumber(row[from]);
    f->completed = sqlNumber(row[from + 1]);
    f->failed = sqlNumber(row[from + 2]);
    f->interrupted = sqlNumber(row[from + 3]);
    if (f->completed + f->failed > 0)
        f->passRate = static_cast<double>(f->completed) / static_cast<double>(f->completed + f->failed);
}

#endif
