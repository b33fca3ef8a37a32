// The central database's tables and roles (docs/production-record.md, "The central
// database"). Creating is also migrating: every statement is idempotent (IF NOT EXISTS), and
// the shipped columns (shipped_columns.h) are added one by one, so a newer build brings an
// older server up to its columns and never removes one.
#ifndef TARVOLO_CENTRAL_CENTRAL_SCHEMA_H
#define TARVOLO_CENTRAL_CENTRAL_SCHEMA_H

#include <string>

#include "central/odbc.h"

struct CentralRoles {
    std::string station = "tarvolo_station";  // inserts runs and units, reads releases
    std::string reader = "tarvolo_reader";    // reads everything
};

// Creates or migrates the tables, in one transaction.
bool initCentralSchema(OdbcConnection& db, OdbcError* error);
// Creates the two roles when missing (LOGIN, no password: the site sets one) and sets what
// they may do. False with a message naming a role name that is not a plain identifier.
bool initCentralRoles(OdbcConnection& db, const CentralRoles& roles, OdbcError* error);

#endif
