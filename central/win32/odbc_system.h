// The ODBC headers of MinGW: they use Windows types, so windows.h comes first.
#ifndef TARVOLO_CENTRAL_ODBC_SYSTEM_H
#define TARVOLO_CENTRAL_ODBC_SYSTEM_H

#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#endif
