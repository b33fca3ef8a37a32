// A worker process of the station: started from a command line, its standard input and
// output as pipes to the station, its standard error into a file (kept for when it dies).
// On Windows it runs in a process group of its own, so the console's Ctrl-C reaches only the
// station, which stops its workers itself. One implementation file per platform.
//
// Threads: readLine is called by one reading thread per child; writeLine, closeInput, kill
// and wait by the station's main thread.
#ifndef TARVOLO_STATION_CHILD_PROCESS_H
#define TARVOLO_STATION_CHILD_PROCESS_H

#include <memory>
#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess();
    // Kills a child still running and waits for it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program's path. False with a reason when it cannot start.
    bool start(const std::vector<std::string>& argv, const std::string& errorFile,
               std::string* error);
    // One line to the child's standard input; false once the child cannot take it.
    bool writeLine(const std::string& line);
    // The next line of its standard output, without the line end; false at its end.
    bool readLine(std::string* line);
    // Closes the child's standard input: it reads the end.
    void closeInput();
    void kill();
    // Waits for the child to end and returns its exit code (-1 when killed by a signal).
    int wait();
    long pid() const;

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

#endif
