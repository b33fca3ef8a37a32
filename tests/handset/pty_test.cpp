// The built tarvolo-handset over a real pseudo-terminal: the host's side opens the pty by the
// symlink the handset keeps, exchanges an inquiry and a parameter request with a speed switch
// through termios, and ends the handset with SIGTERM, which writes the report and removes the link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;   // the handset's stdout
};

Child start(const std::vector<std::string>& arguments)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    child.out = pipeFds[0];
    return child;
}

std::string firstLine(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

void setSpeed(int fd, speed_t speed)
{
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
}

std::vector<uint8_t> readBytes(int fd, size_t count, int timeoutMs = 2000)
{
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            uint8_t buffer[128];
            const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
        }
    }
    return got;
}

}  // namespace

TEST(HandsetPty, AnswersInquiryAndParameterRequestAtTheNewSpeed)
{
    const std::string dir = ::testing::TempDir();
    const std::string link = dir + "handset_pty_link";
    const std::string report = dir + "handset_pty_report.json";
    std::remove(report.c_str());
    // A generous grace: a test host held up by a loaded machine still gets its record.
    Child child = start({TARVOLO_HANDSET_EXE, "--link", link, "--report", report, "--product-id", "KM21",
                         "--switch-grace-ms", "3000"});
    ASSERT_GT(child.pid, 0);
    const std::string path = firstLine(child.out);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);

    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    setSpeed(fd, B19200);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(write(fd, "<i", 2), 2);
    EXPECT_EQ(readBytes(fd, 2), std::vector<uint8_t>({'>', 'i'}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::microseconds(3000))
        << "no sooner than the line time of both frames plus the turnaround";

    const uint8_t request[] = {'<', 'p', '0', 0xFF};
    ASSERT_EQ(write(fd, request, 4), 4);
    tcdrain(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    setSpeed(fd, B115200);
    const std::vector<uint8_t> record = readBytes(fd, 66);
    ASSERT_EQ(record.size(), 66u);
    EXPECT_EQ(std::string(record.begin(), record.begin() + 6), ">pKM21");
    EXPECT_EQ(std::string(record.begin() + 18, record.begin() + 25), "DOWNLD1");
    close(fd);

    kill(child.pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(child.out);
    struct stat info{};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is removed at exit";
    std::ifstream in(report);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"answered\": true"), std::string::npos) << text;
    EXPECT_NE(text.find("\"violationCount\": 0"), std::string::npos) << text;
}

TEST(HandsetPty, ExitsAfterTheDownloadOnceTheHostHasClosedAndLeavesTheFlash)
{
    const std::string flashOut = ::testing::TempDir() + "handset_pty_flash.bin";
    std::remove(flashOut.c_str());
    Child child = start({TARVOLO_HANDSET_EXE, "--exit-after-download", "--block-size", "16", "--flash-out", flashOut,
                         "--image-blocks", "2"});
    const std::string path = firstLine(child.out);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    setSpeed(fd, B19200);
    ASSERT_EQ(write(fd, "<i", 2), 2);
    EXPECT_EQ(readBytes(fd, 2).size(), 2u);
    const uint8_t request[] = {'<', 'p', '4', 0xFF};
    ASSERT_EQ(write(fd, request, 4), 4);
    EXPECT_EQ(readBytes(fd, 66).size(), 66u);
    std::vector<uint8_t> frame = {'<', 'w', 0, 0};
    for (int i = 0; i < 16; ++i)
        frame.push_back(static_cast<uint8_t>(i));
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    EXPECT_EQ(readBytes(fd, 4), std::vector<uint8_t>({'>', 'w', 0, 0}));
    const uint16_t sum = static_cast<uint16_t>(120 + 16 * 255);   // 0..15, then a blank block
    const uint8_t checksum[] = {'<', 'c', static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
    ASSERT_EQ(write(fd, checksum, 4), 4);
    EXPECT_EQ(readBytes(fd, 4), std::vector<uint8_t>({'>', 'c', checksum[2], checksum[3]}));
    const auto closed = std::chrono::steady_clock::now();
    close(fd);
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(3)) << "no linger once the host is gone";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(child.out);
    std::ifstream in(flashOut, std::ios::binary);
    const std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(flash.size(), 32u);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + 16), std::vector<uint8_t>(frame.begin() + 4, frame.end()));
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 16, flash.end()), std::vector<uint8_t>(16, 0xFF));
}

TEST(HandsetPty, RefusesBadOptionsAndNeverReplacesAFileWithItsLink)
{
    auto exitCode = [](const std::vector<std::string>& arguments) {
        Child child = start(arguments);
        int status = 0;
        waitpid(child.pid, &status, 0);
        close(child.out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(exitCode({TARVOLO_HANDSET_EXE, "--silent", "sometimes"}), 2);
    EXPECT_EQ(exitCode({TARVOLO_HANDSET_EXE, "--block-refusals", "2@0"}), 2);
    EXPECT_EQ(exitCode({TARVOLO_HANDSET_EXE, "--blank", "0x100"}), 2);
    const std::string file = ::testing::TempDir() + "handset_not_a_link";
    { std::ofstream(file) << "keep"; }
    EXPECT_EQ(exitCode({TARVOLO_HANDSET_EXE, "--link", file}), 1);
    std::ifstream in(file);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    std::remove(file.c_str());
}
