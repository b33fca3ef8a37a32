// The common-dialog error codes and the string of the program's string table that explains
// each one. Portable, so that the table can be tested anywhere.
#ifndef TARVOLO_SHELL_DIALOG_ERRORS_H
#define TARVOLO_SHELL_DIALOG_ERRORS_H

#include <cstdint>

// The string id for a CommDlgExtendedError code: 0 for code 0 (cancelled: nothing is
// shown), 29 ("Unknown error.") for a code not in the table.
int dialogErrorStringId(uint32_t code);

#endif
