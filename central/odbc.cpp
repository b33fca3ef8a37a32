// The ODBC connection (odbc.h). The platform's headers come from odbc_system.h, which CMake
// picks from central/posix or central/win32.
#include "central/odbc.h"

#include <odbc_system.h>

#include <algorithm>
#include <cstdint>

#include "output/shown_text.h"

namespace {

using WideText = std::basic_string<SQLWCHAR>;

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD (operator text is
// checked for UTF-8 before it gets here; this only keeps a stray byte from derailing a batch).
WideText toWide(const std::string& text)
{
    WideText out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        uint32_t code = extra == 0 ? c : extra == 1 ? (c & 0x1Fu) : extra == 2 ? (c & 0x0Fu) : (c & 0x07u);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < text.size() + (extra == 0 ? 1 : 0);
        for (int k = 1; ok && k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += static_cast<size_t>(extra) + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<SQLWCHAR>(0xD800 + (code >> 10)));
            out.push_back(static_cast<SQLWCHAR>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<SQLWCHAR>(code));
        }
    }
    return out;
}

void appendUtf8(uint32_t code, std::string* out)
{
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

std::string fromWide(const SQLWCHAR* text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        appendUtf8(code, &out);
    }
    return out;
}

bool succeeded(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// The first SQLSTATE of a handle's diagnostics and all their messages.
OdbcError diagnostics(SQLSMALLINT type, SQLHANDLE handle, const std::string& password)
{
    OdbcError error;
    for (SQLSMALLINT record = 1; record < 8; ++record) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR message[1024] = {0};
        SQLSMALLINT length = 0;
        if (!succeeded(SQLGetDiagRec(type, handle, record, state, &native, message, sizeof message, &length)))
            break;
        if (error.state.empty())
            error.state = reinterpret_cast<const char*>(state);
        error.message += (error.message.empty() ? "" : "; ") + std::string(reinterpret_cast<const char*>(message));
    }
    if (error.message.empty())
        error.message = "the ODBC driver gave no reason";
    // One line: drivers break theirs with newlines and tabs.
    for (char& c : error.message)
        if (c == '\n' || c == '\t' || c == '\r')
            c = ' ';
    error.message = scrubPassword(error.message, password);
    return error;
}

// A value as it goes between ODBC braces: each } doubled.
std::string bracedEscape(const std::string& value)
{
    std::string escaped;
    for (char c : value)
        escaped += c == '}' ? std::string("}}") : std::string(1, c);
    return escaped;
}

// Past a braced ODBC value that starts at `open`: inside the braces "}}" is one '}' of the
// value, and only a single '}' closes it (PWD={a}}b} is the password a}b). Unclosed: the end.
size_t afterBraced(const std::string& text, size_t open)
{
    size_t i = open + 1;
    while (i < text.size()) {
        if (text[i] == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return text.size();
}

}  // namespace

// The SQLSTATE classes PostgreSQL gives for a value it cannot store, whichever row of a batch
// holds it; every other class (08 connection, 53 resources, 57 operator intervention, 40
// rollback, 42 the statement itself, XX internal) is the server's or this build's fault and
// no row's, so its batch waits and is sent again.
//   22 data exception: text that is no number (22P02), out of range (22003), a bad encoding
//      (22021), a NUL byte (22P05), too long for its column (22001)
//   23 integrity constraint: a site's CHECK, NOT NULL, a foreign key
//   54 program limit exceeded: a value too big for an index (54000: a btree row over about
//      2.7 kB, as an overlong lot or station name makes) or a row too wide
constexpr const char* kRowFaultClasses[] = {"22", "23", "54"};

bool OdbcError::refusedData() const
{
    for (const char* c : kRowFaultClasses)
        if (state.rfind(c, 0) == 0)
            return true;
    return false;
}

std::string OdbcError::text() const
{
    return state.empty() ? message : message + " (SQLSTATE " + state + ")";
}

struct OdbcConnection::Handles {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
    ~Handles()
    {
        if (connected)
            SQLDisconnect(dbc);
        if (dbc != SQL_NULL_HDBC)
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        if (env != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

OdbcConnection::OdbcConnection(std::unique_ptr<Handles> handles, std::string password)
    : h_(std::move(handles)), password_(std::move(password))
{
}

OdbcConnection::~OdbcConnection() = default;

std::unique_ptr<OdbcConnection> OdbcConnection::open(const std::string& connection, const std::string& password,
                                                     int loginTimeoutSeconds, OdbcError* error)
{
    auto h = std::make_unique<Handles>();
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h->env)) ||
        !succeeded(SQLSetEnvAttr(h->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
        !succeeded(SQLAllocHandle(SQL_HANDLE_DBC, h->env, &h->dbc))) {
        *error = {"", "cannot start the ODBC driver manager"};
        return nullptr;
    }
    SQLSetConnectAttr(h->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(loginTimeoutSeconds)), 0);
    std::string full = withPassword(connection, password);
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN r = SQLDriverConnect(h->dbc, nullptr, reinterpret_cast<SQLCHAR*>(&full[0]),
                                         static_cast<SQLSMALLINT>(full.size()), out, sizeof out, &outLength,
                                         SQL_DRIVER_NOPROMPT);
    std::fill(full.begin(), full.end(), '\0');
    if (!succeeded(r)) {
        *error = diagnostics(SQL_HANDLE_DBC, h->dbc, password);
        return nullptr;
    }
    h->connected = true;
    return std::unique_ptr<OdbcConnection>(new OdbcConnection(std::move(h), password));
}

namespace {

// Reads every row of an executed statement as text.
bool fetchRows(SQLHSTMT stmt, std::vector<OdbcRow>* rows)
{
    SQLSMALLINT columns = 0;
    if (!succeeded(SQLNumResultCols(stmt, &columns)))
        return false;
    SQLRETURN r;
    while ((r = SQLFetch(stmt)) == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO) {
        OdbcRow row;
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
            WideText text;
            SQLWCHAR piece[2048];
            SQLLEN length = 0;
            SQLRETURN g;
            bool isNull = false;
            while ((g = SQLGetData(stmt, c, SQL_C_WCHAR, piece, sizeof piece, &length)) == SQL_SUCCESS ||
                   g == SQL_SUCCESS_WITH_INFO) {
                if (length == SQL_NULL_DATA) {
                    isNull = true;
                    break;
                }
                const size_t room = sizeof piece / sizeof piece[0] - 1;
                const size_t got = length == SQL_NO_TOTAL || static_cast<size_t>(length) / sizeof(SQLWCHAR) > room
                                       ? room
                                       : static_cast<size_t>(length) / sizeof(SQLWCHAR);
                text.append(piece, got);
                if (g == SQL_SUCCESS)
                    break;
            }
            if (!succeeded(g) && g != SQL_NO_DATA)
                return false;
            row.push_back(isNull ? OdbcValue() : OdbcValue(fromWide(text.data(), text.size())));
        }
        rows->push_back(std::move(row));
    }
    return r == SQL_NO_DATA;
}

}  // namespace

bool OdbcConnection::exec(const std::string& sql, const std::vector<OdbcValue>& params, OdbcError* error,
                          std::vector<OdbcRow>* rows)
{
    if (inTransaction_ || timeoutSeconds_ == 0)
        return run(sql, params, error, rows);
    if (!begin(error))
        return false;
    if (run(sql, params, error, rows) && commit(error))
        return true;
    rollback();
    return false;
}

bool OdbcConnection::run(const std::string& sql, const std::vector<OdbcValue>& params, OdbcError* error,
                         std::vector<OdbcRow>* rows)
{
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, h_->dbc, &stmt))) {
        *error = diagnostics(SQL_HANDLE_DBC, h_->dbc, password_);
        return false;
    }
    std::vector<WideText> texts(params.size());
    std::vector<SQLLEN> lengths(params.size());
    bool ok = true;
    for (size_t i = 0; ok && i < params.size(); ++i) {
        if (params[i])
            texts[i] = toWide(*params[i]);
        lengths[i] = params[i] ? static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR)) : SQL_NULL_DATA;
        const SQLULEN size = texts[i].empty() ? 1 : texts[i].size();
        // data() of an empty text is still a buffer: the driver manager refuses none at all.
        ok = succeeded(SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                                        SQL_WVARCHAR, size, 0, const_cast<SQLWCHAR*>(texts[i].data()),
                                        static_cast<SQLLEN>((texts[i].size() + 1) * sizeof(SQLWCHAR)),
                                        &lengths[i]));
    }
    std::string text = sql;
    if (ok) {
        const SQLRETURN r = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(&text[0]), static_cast<SQLINTEGER>(text.size()));
        ok = succeeded(r) || r == SQL_NO_DATA;
    }
    if (ok && rows)
        ok = fetchRows(stmt, rows);
    if (!ok)
        *error = diagnostics(SQL_HANDLE_STMT, stmt, password_);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return ok;
}

// A statement the server runs too long (a query over more rows than the page meant, a lock
// held elsewhere) is cancelled by the server itself: no shipper, page or log waits for ever.
bool OdbcConnection::begin(OdbcError* error)
{
    if (!succeeded(SQLSetConnectAttr(h_->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
        *error = diagnostics(SQL_HANDLE_DBC, h_->dbc, password_);
        return false;
    }
    inTransaction_ = true;
    if (timeoutSeconds_ == 0 ||
        run("SET LOCAL statement_timeout = " + std::to_string(timeoutSeconds_ * 1000), {}, error, nullptr))
        return true;
    rollback();
    return false;
}

bool OdbcConnection::commit(OdbcError* error)
{
    inTransaction_ = false;
    const bool ok = succeeded(SQLEndTran(SQL_HANDLE_DBC, h_->dbc, SQL_COMMIT));
    if (!ok)
        *error = diagnostics(SQL_HANDLE_DBC, h_->dbc, password_);
    SQLSetConnectAttr(h_->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return ok;
}

void OdbcConnection::rollback()
{
    inTransaction_ = false;
    SQLEndTran(SQL_HANDLE_DBC, h_->dbc, SQL_ROLLBACK);
    SQLSetConnectAttr(h_->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

std::string scrubPassword(const std::string& text, const std::string& password)
{
    std::string out = text;
    // The password as given, and as a connection string carries it (each } doubled).
    for (const std::string& form : {password, bracedEscape(password)})
        if (!form.empty())
            for (size_t at; (at = out.find(form)) != std::string::npos;)
                out.replace(at, form.size(), "***");
    const std::string low = asciiLower(out);
    std::string result;
    size_t i = 0;
    while (i < out.size()) {
        size_t keyLength = low.compare(i, 4, "pwd=") == 0 ? 4 : low.compare(i, 9, "password=") == 0 ? 9 : 0;
        if (keyLength == 0) {
            result += out[i++];
            continue;
        }
        result += out.substr(i, keyLength) + "***";
        i += keyLength;
        if (i < out.size() && out[i] == '{') {
            i = afterBraced(out, i);
        } else {
            while (i < out.size() && out[i] != ';' && out[i] != ' ')
                ++i;
        }
    }
    return result;
}

std::string withPassword(const std::string& connection, const std::string& password)
{
    if (password.empty())
        return connection;
    std::string full = connection;
    if (!full.empty() && full.back() != ';')
        full += ';';
    return full + "PWD={" + bracedEscape(password) + "};";
}

bool holdsPassword(const std::string& connection)
{
    const std::string low = asciiLower(connection);
    for (const char* key : {"pwd=", "password="}) {
        for (size_t at = low.find(key); at != std::string::npos; at = low.find(key, at + 1))
            if (at == 0 || low[at - 1] == ';' || low[at - 1] == ' ')
                return true;
    }
    return false;
}
