// A worker process on POSIX (see child_process.h): fork and exec with two pipes.
#include "station/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

struct ChildProcess::Handles {
    pid_t pid = -1;
    int input = -1;   // the child's standard input, our end
    int output = -1;  // the child's standard output, our end
    std::string pending;
    std::mutex inputMutex;
    bool waited = false;
    int status = 0;
};

ChildProcess::ChildProcess() : handles_(std::make_unique<Handles>()) {}

ChildProcess::~ChildProcess()
{
    if (handles_->pid > 0 && !handles_->waited) {
        kill();
        wait();
    }
    closeInput();
    if (handles_->output >= 0)
        ::close(handles_->output);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& errorFile,
                         std::string* error)
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("cannot make pipes: ") + std::strerror(errno);
        return false;
    }
    const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (err >= 0)
            ::dup2(err, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (err >= 0)
        ::close(err);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        *error = std::string("cannot start a worker: ") + std::strerror(errno);
        return false;
    }
    handles_->pid = pid;
    handles_->input = in[1];
    handles_->output = out[0];
    return true;
}

bool ChildProcess::writeLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(handles_->inputMutex);
    if (handles_->input < 0)
        return false;
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(handles_->input, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ChildProcess::readLine(std::string* line)
{
    std::string& pending = handles_->pending;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            *line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        const ssize_t n = ::read(handles_->output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

void ChildProcess::closeInput()
{
    std::lock_guard<std::mutex> lock(handles_->inputMutex);
    if (handles_->input >= 0) {
        ::close(handles_->input);
        handles_->input = -1;
    }
}

void ChildProcess::kill()
{
    if (handles_->pid > 0 && !handles_->waited)
        ::kill(handles_->pid, SIGKILL);
}

int ChildProcess::wait()
{
    if (handles_->pid <= 0)
        return -1;
    if (!handles_->waited) {
        while (::waitpid(handles_->pid, &handles_->status, 0) < 0 && errno == EINTR) {
        }
        handles_->waited = true;
    }
    const int s = handles_->status;
    return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

long ChildProcess::pid() const { return handles_->pid; }
