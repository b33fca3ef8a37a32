// Where the central database is, as the operator gave it: --central CONNECTION (an ODBC
// connection string or DSN=name) or the environment variable TARVOLO_CENTRAL, and the
// password from --central-password-file (never from the command line). Main thread.
#ifndef TARVOLO_CENTRAL_CENTRAL_CONNECTION_H
#define TARVOLO_CENTRAL_CENTRAL_CONNECTION_H

#include <memory>
#include <string>

#include "central/odbc.h"

struct CentralTarget {
    std::string connection;  // empty: no central database
    std::string password;    // empty: the DSN or the driver has it
};

// Fills `target` from the option (else the environment) and the password file. False with a
// message that names the problem, never the password: a connection string (option or
// environment) that holds one, a password file that others may read, that cannot be read or
// is empty.
bool resolveCentral(const std::string& option, const std::string& passwordFile, CentralTarget* target,
                    std::string* error);

// The connection string with TCP keepalives asked of psqlODBC (its pqopt goes to libpq): a
// server that vanished is noticed after about 25 s of silence, not hours; and, while a
// statement's bytes wait unacknowledged (keepalives then stay quiet), after 30 s
// (tcp_user_timeout). Left as it is when it names a DSN (whose own pqopt it would override)
// or sets pqopt or keepalives itself.
std::string withKeepalives(const std::string& connection);

// Connects with keepalives, waiting at most `loginTimeoutSeconds` (psqlODBC's connect_timeout).
std::unique_ptr<OdbcConnection> connectCentral(const CentralTarget& target, int loginTimeoutSeconds,
                                               OdbcError* error);

#endif
