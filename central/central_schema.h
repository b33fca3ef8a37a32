// The central database's tables and roles (docs/production-record.md, "The central
// database"). Creating is also migrating: every statement is idempotent (IF NOT EXISTS, OR
// REPLACE, policies dropped and made again), and the shipped columns (shipped_columns.h) are
// added one by one, so a newer build brings an older server up to its columns and rules and
// never removes a row or a column. units is partitioned by month (units_partitions.h): an
// older server's single table becomes month partitions here, in the same transaction.
//
// Stations write through row-level security: each station logs in as a role of its own, a
// member of the shared station group that holds the grants, and the table station_logins maps
// that login to the one station_id it may write as.
#ifndef TARVOLO_CENTRAL_CENTRAL_SCHEMA_H
#define TARVOLO_CENTRAL_CENTRAL_SCHEMA_H

#include <string>

#include "central/odbc.h"

struct CentralRoles {
    std::string station = "tarvolo_station";  // the group every station's login belongs to
    std::string reader = "tarvolo_reader";    // reads everything
};

// Creates or migrates the tables, in one transaction.
bool initCentralSchema(OdbcConnection& db, OdbcError* error);
// Creates the station group (NOLOGIN: a station logs in as its own member of it) and the
// reader (LOGIN, no password: the site sets one), and the row rules. An older server's
// station role that could log in loses that. False with a message naming a role name that is
// not a plain identifier.
bool initCentralRoles(OdbcConnection& db, const CentralRoles& roles, OdbcError* error);

// The login a station gets when none is named: the group's name, '_', and the station id in
// lower case with every other character than a-z, 0-9 and _ made '_' (at most 63 characters).
std::string defaultStationLogin(const CentralRoles& roles, const std::string& stationId);
// Creates `login` (LOGIN, no password) in the station group when missing and maps it to
// `stationId`. False when the login already writes as another station, or a name is not
// plain; `created` tells whether the role is new.
bool initStationLogin(OdbcConnection& db, const CentralRoles& roles, const std::string& stationId,
                      const std::string& login, bool* created, OdbcError* error);

#endif
