// What the command-line tool needs of the console, one file per platform: the command line,
// interrupts, whether a stream is a terminal, the terminal's width, and line-end translation.
#ifndef TARVOLO_CLI_CONSOLE_H
#define TARVOLO_CLI_CONSOLE_H

#include <string>
#include <vector>

// The command line, program name first. Windows holds it in UTF-16 and gets it turned into
// UTF-8 here, whatever the console's code page; elsewhere the bytes are as given.
std::vector<std::string> commandLine(int argc, char** argv);

// Catches Ctrl-C (and SIGTERM, or the console's close on Windows) from now on: instead of
// killing the process, interrupted() becomes true. `onInterrupt`, when given, runs at once
// inside the signal handler (POSIX) or the console's control thread (Windows): it may only
// store to lock-free atomics.
void catchInterrupts(void (*onInterrupt)() = nullptr);
bool interrupted();

bool stdoutIsTerminal();
// Standard output is the journal's stream (the service manager's $JOURNAL_STREAM names it):
// lines may then carry a "<N>" priority that the journal reads.
bool stdoutIsJournal();
int terminalColumns();
// Lets the terminal act on the cursor and erase sequences of a live display and show its
// UTF-8 text (a Windows console needs to be told; elsewhere nothing to do).
void enableTerminalControl();

// From now on stdout passes bytes unchanged (a Windows console stream turns "\n" into
// "\r\n"): for output whose line ends belong to its format, such as CSV's CRLF.
void keepStdoutBytes();

#endif
