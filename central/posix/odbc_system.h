// The ODBC headers as unixODBC installs them (the driver manager needs nothing before them).
#ifndef TARVOLO_CENTRAL_ODBC_SYSTEM_H
#define TARVOLO_CENTRAL_ODBC_SYSTEM_H

#include <sql.h>
#include <sqlext.h>

#endif
