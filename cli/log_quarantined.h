// `tarvolo log --quarantined`: what shipping to the central database left for someone to look
// at in a record: the units and runs the server refused for their data, with its SQLSTATE and
// message, and the conflicts, units the server holds with other content, with the columns
// that differ. Main thread.
#ifndef TARVOLO_CLI_LOG_QUARANTINED_H
#define TARVOLO_CLI_LOG_QUARANTINED_H

#include <string>

int runQuarantinedLog(const std::string& recordPath, bool json);

#endif
