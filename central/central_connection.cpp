// Finding the central database (central_connection.h).
#include "central/central_connection.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "central/password_file.h"
#include "output/shown_text.h"

namespace {

bool mentions(const std::string& connection, const char* word)
{
    return asciiLower(connection).find(word) != std::string::npos;
}

}  // namespace

std::string withKeepalives(const std::string& connection)
{
    if (connection.empty() || mentions(connection, "dsn=") || mentions(connection, "pqopt") ||
        mentions(connection, "keepalive"))
        return connection;
    std::string full = connection;
    if (full.back() != ';')
        full += ';';
    return full + "pqopt={keepalives=1 keepalives_idle=10 keepalives_interval=5 keepalives_count=3 "
                  "tcp_user_timeout=30000};";
}

bool resolveCentral(const std::string& option, const std::string& passwordFile, CentralTarget* target,
                    std::string* error)
{
    const char* env = std::getenv("TARVOLO_CENTRAL");
    target->connection = !option.empty() ? option : env ? env : "";
    target->password.clear();
    // A command line is visible to every user of the machine, and the environment is handed
    // to every child and kept in shell profiles and service files: neither holds a password.
    if (holdsPassword(target->connection)) {
        *error = std::string(!option.empty() ? "--central" : "TARVOLO_CENTRAL") +
                 " holds a password (PWD=): give it with --central-password-file FILE (a file only its owner "
                 "reads) or keep it in the DSN";
        return false;
    }
    if (passwordFile.empty())
        return true;
    if (!passwordFilePrivate(passwordFile, error))
        return false;
    std::ifstream in(passwordFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        *error = "cannot read the password file " + passwordFile;
        return false;
    }
    std::string password = text.str();
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    if (password.empty() || password.find('\n') != std::string::npos) {
        *error = "the password file " + passwordFile + " must hold one line, the password";
        return false;
    }
    target->password = password;
    return true;
}

std::unique_ptr<OdbcConnection> connectCentral(const CentralTarget& target, int loginTimeoutSeconds,
                                               OdbcError* error)
{
    return OdbcConnection::open(withKeepalives(target.connection), target.password, loginTimeoutSeconds, error);
}
