// What the command-line tool needs of the console, one file per platform: interrupts,
// whether a stream is a terminal, and the terminal's width.
#ifndef TARVOLO_CLI_CONSOLE_H
#define TARVOLO_CLI_CONSOLE_H

// Catches Ctrl-C (and SIGTERM, or the console's close on Windows) from now on: instead of
// killing the process, interrupted() becomes true.
void catchInterrupts();
bool interrupted();

bool stdoutIsTerminal();
int terminalColumns();

#endif
