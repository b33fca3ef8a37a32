// What the central queries share: a WHERE clause built from the conditions a caller gave
// (every value bound, never spliced into the text) and a number read back from a row.
#ifndef TARVOLO_CENTRAL_SQL_WHERE_H
#define TARVOLO_CENTRAL_SQL_WHERE_H

#include <cstdint>
#include <cstdlib>
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

#endif
