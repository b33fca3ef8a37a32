// A thin ODBC connection: statements with text parameters and text results, transactions,
// and errors with their SQLSTATE. Every value crosses as UTF-16 (SQL_C_WCHAR) so that
// operator names keep their bytes whatever the client's code page; SQL text is ASCII and
// casts each parameter to its column's type.
//
// The password never leaves this object: it is added to the connection string only for the
// connect call, and every diagnostic is scrubbed of it (a driver may echo the string).
// One thread uses a connection at a time.
//
// Nothing here relies on the server connection staying the same between transactions, so a
// pooler in transaction mode (pgbouncer) may hand each transaction another one: statements are
// sent whole (no named prepared statement is kept), and the statement time-out is a SET LOCAL
// at the start of each transaction. A statement outside begin()..commit() gets a transaction
// of its own for that. (psqlODBC's own query time-out is a session SET, sent once per
// connection: it would stay behind on the pooler's server connection for the next client and
// be missing from the next server connection this one gets, so it is not used.)
#ifndef TARVOLO_CENTRAL_ODBC_H
#define TARVOLO_CENTRAL_ODBC_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A parameter or a result value: absent is SQL NULL.
using OdbcValue = std::optional<std::string>;
using OdbcRow = std::vector<OdbcValue>;

struct OdbcError {
    std::string state;    // SQLSTATE, five characters ("08001", "23505"); empty when none came
    std::string message;  // the driver's words, password removed

    // The server refused the values of a row (classes 22 data exception, 23 integrity
    // constraint, 54 a value over a limit; odbc.cpp lists them): sending them again cannot
    // help, other rows may go on.
    bool refusedData() const;
    std::string text() const;  // "message (SQLSTATE xxxxx)"
};

class OdbcConnection {
public:
    // Connects with `connection` (a connection string or "DSN=name"); `password`, when not
    // empty, is added as PWD. Null with the reason when that fails.
    static std::unique_ptr<OdbcConnection> open(const std::string& connection, const std::string& password,
                                                int loginTimeoutSeconds, OdbcError* error);
    ~OdbcConnection();
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    // Runs `sql` with its ? markers bound to `params` in order; rows, when asked for, come
    // back as text.
    bool exec(const std::string& sql, const std::vector<OdbcValue>& params, OdbcError* error,
              std::vector<OdbcRow>* rows = nullptr);
    bool exec(const std::string& sql, OdbcError* error) { return exec(sql, {}, error); }

    // Manual commit from begin() to commit() or rollback(); begin() sets the transaction's
    // statement time-out.
    bool begin(OdbcError* error);
    bool commit(OdbcError* error);
    void rollback();

    // The longest a statement may run on the server before it cancels it (60 s). 0, for the
    // administrator's commands: none of ours (the server's own setting holds), and a statement
    // outside begin()..commit() runs as it is, so that one that may not run in a transaction
    // (VACUUM, DETACH PARTITION CONCURRENTLY) can. Applies from the next transaction on.
    void setStatementTimeout(int seconds) { timeoutSeconds_ = seconds; }

private:
    struct Handles;
    explicit OdbcConnection(std::unique_ptr<Handles> handles, std::string password);
    bool run(const std::string& sql, const std::vector<OdbcValue>& params, OdbcError* error,
             std::vector<OdbcRow>* rows);
    std::unique_ptr<Handles> h_;
    std::string password_;
    int timeoutSeconds_ = 60;
    bool inTransaction_ = false;
};

// Removes a password from a text that may echo a connection string: the password itself, and
// the value of any PWD= or PASSWORD= item.
std::string scrubPassword(const std::string& text, const std::string& password);

// The connection string with a password added as PWD={...} (braces escaped).
std::string withPassword(const std::string& connection, const std::string& password);

// True when the string carries a password item (PWD= or PASSWORD=), whatever its case.
bool holdsPassword(const std::string& connection);

#endif
