// tarvolo-handset as a child process on its own pseudo-terminal, reachable through a symlink;
// ended (SIGTERM) and reaped when the object goes.
#ifndef TARVOLO_TESTS_SESSION_HANDSET_PROCESS_H
#define TARVOLO_TESTS_SESSION_HANDSET_PROCESS_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

class HandsetProcess {
public:
    HandsetProcess(const std::filesystem::path& link, const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {TARVOLO_HANDSET_EXE, "--link", link.string(),
                                         "--block-size", "256"};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::vector<char*> raw;
            for (std::string& a : argv)
                raw.push_back(a.data());
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        for (int i = 0; i < 200 && !std::filesystem::is_symlink(link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~HandsetProcess() { stop(); }
    HandsetProcess(const HandsetProcess&) = delete;
    HandsetProcess& operator=(const HandsetProcess&) = delete;

    // Ends the handset; it writes its --flash-out as it exits.
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

#endif
