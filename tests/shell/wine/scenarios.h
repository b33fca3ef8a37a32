// The Wine test driver's scenarios that live in files of their own (driver.cpp runs them by
// name). Each starts the program as often as it needs and reports through check().
#ifndef TARVOLO_TESTS_SHELL_WINE_SCENARIOS_H
#define TARVOLO_TESTS_SHELL_WINE_SCENARIOS_H

#include "tests/shell/wine/scenario_kit.h"

// File, Open and download of a release file: the Open dialog, Cancel, the download.
void openScenario(const Context& c);
// File, Open and download of a build file: the Save dialog, the conversion, the download,
// the paths remembered after a restart.
void saveScenario(const Context& c);
// Port, Settings on COM1 and on a port that cannot be opened.
void portsScenario(const Context& c);
// The error boxes: missing release file, unrecognised extension, path too long, port not
// opened for a download, conversion refused for a file name.
void errorsScenario(const Context& c);
// A download in gang mode: Continue follows CH1's answers; the gang completion text.
void gangScenario(const Context& c);

#endif
