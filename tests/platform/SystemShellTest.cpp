// ShellExecuteA against a stand-in open command that reports what it was given and what it inherited.
#include "platform/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

constexpr auto kReportWait = std::chrono::seconds(10);

intptr_t Started(HINSTANCE result) { return reinterpret_cast<intptr_t>(result); }

class ShellTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lintaker-shell-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        report = dir / "report";
        ASSERT_EQ(mkfifo(report.c_str(), 0600), 0);
        // A descriptor without close-on-exec, as a serial port opened elsewhere might be.
        leaked = open("/dev/null", O_RDONLY);
        ASSERT_GE(leaked, 3);
        ASSERT_LT(leaked, 10) << "the shell keeps its own descriptors from 10 up";

        script = dir / "opener";
        std::ofstream out(script);
        out << "#!/bin/sh\n"
            << "if [ -e /proc/$$/fd/" << leaked << " ]; then leak=open; else leak=closed; fi\n"
            << "{\n"
            << "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done\n"
            << "  printf 'leak=%s\\n' \"$leak\"\n"
            << "  printf 'cwd=%s\\n' \"$(pwd -P)\"\n"
            << "  printf 'stdin=%s\\n' \"$(readlink /proc/$$/fd/0)\"\n"
            << "  printf 'stderr=%s\\n' \"$(readlink /proc/$$/fd/2)\"\n"
            << "  printf 'session=%s\\n' \"$(cut -d' ' -f6 /proc/$$/stat)\"\n"
            << "} > '" << report.string() << "'\n";
        out.close();
        fs::permissions(script, fs::perms::owner_all);
        platform::SetOpenCommandForTesting(script.string());

        reader = open(report.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
    }

    void TearDown() override
    {
        platform::SetOpenCommandForTesting("");
        close(reader);
        close(leaked);
        fs::remove_all(dir);
    }

    /// What the open command wrote, collected until it closes the report; empty on time-out.
    std::multimap<std::string, std::string> Report()
    {
        std::string text;
        bool opened = false;
        const auto deadline = std::chrono::steady_clock::now() + kReportWait;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd wait{reader, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (poll(&wait, 1, static_cast<int>(std::max<long>(left.count(), 1))) <= 0)
                continue;
            char buffer[512];
            const ssize_t got = read(reader, buffer, sizeof buffer);
            if (got > 0) {
                text.append(buffer, static_cast<size_t>(got));
                opened = true;
            } else if (got == 0 && (opened || (wait.revents & POLLHUP))) {
                break;
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                break;
            }
        }
        std::multimap<std::string, std::string> fields;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                fields.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
        return fields;
    }

    static std::string Field(const std::multimap<std::string, std::string>& fields, const std::string& name)
    {
        const auto found = fields.find(name);
        return found == fields.end() ? std::string("<missing>") : found->second;
    }

    fs::path dir, report, script;
    int leaked = -1;
    int reader = -1;
};

TEST_F(ShellTest, OpensTheUrlDetachedWithNothingOfOursInherited)
{
    const char* url = "https://example.org/user guide.html?a=1&b=2";
    EXPECT_GT(Started(ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL)), 32);

    // The middle process has been reaped and the opener belongs to init: no child is left to us.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    const auto fields = Report();
    EXPECT_EQ(fields.count("arg"), 1u) << "the URL is one argument";
    EXPECT_EQ(Field(fields, "arg"), url);
    EXPECT_EQ(Field(fields, "leak"), "closed");
    EXPECT_EQ(Field(fields, "stdin"), "/dev/null");
    EXPECT_EQ(Field(fields, "stderr"), "/dev/null");
    EXPECT_NE(Field(fields, "session"), std::to_string(getsid(0)));
}

TEST_F(ShellTest, RelativeFileIsOpenedInTheGivenDirectory)
{
    std::ofstream(dir / "guide.html") << "<html></html>";
    EXPECT_GT(Started(ShellExecuteA(nullptr, nullptr, "guide.html", "ignored", dir.c_str(), SW_SHOW)), 32);
    const auto fields = Report();
    EXPECT_EQ(Field(fields, "arg"), "guide.html");
    EXPECT_EQ(Field(fields, "cwd"), fs::canonical(dir).string());
}

TEST_F(ShellTest, OpenCommandFromTheEnvironment)
{
    platform::SetOpenCommandForTesting("");
    const char* old = std::getenv("LINTAKER_OPEN_COMMAND");
    const std::string saved = old ? old : "";
    setenv("LINTAKER_OPEN_COMMAND", script.c_str(), 1);
    const intptr_t result =
        Started(ShellExecuteA(nullptr, "OPEN", "mailto:someone@example.org", nullptr, nullptr, 1));
    if (old)
        setenv("LINTAKER_OPEN_COMMAND", saved.c_str(), 1);
    else
        unsetenv("LINTAKER_OPEN_COMMAND");
    EXPECT_GT(result, 32);
    EXPECT_EQ(Field(Report(), "arg"), "mailto:someone@example.org");
}

TEST_F(ShellTest, FailuresAreSmallNumbers)
{
    struct Case {
        const char* operation;
        const char* file;
        const char* directory;
        const char* command; // nullptr: the stand-in
        intptr_t expected;
    };
    const Case cases[] = {
        {"print", "https://example.org", nullptr, nullptr, SE_ERR_NOASSOC},
        {"open", nullptr, nullptr, nullptr, SE_ERR_FNF},
        {"open", "", nullptr, nullptr, SE_ERR_FNF},
        {"open", "/nonexistent/guide.html", nullptr, nullptr, SE_ERR_FNF},
        {"open", "/etc/hostname/guide.html", nullptr, nullptr, SE_ERR_PNF},
        {"open", "guide.html", "/nonexistent-directory", nullptr, SE_ERR_PNF},
        {"open", "https://example.org", nullptr, "/nonexistent/opener", SE_ERR_NOASSOC},
        {"open", "https://example.org", nullptr, "lintaker-no-such-opener", SE_ERR_NOASSOC},
    };
    for (const Case& c : cases) {
        platform::SetOpenCommandForTesting(c.command ? c.command : script.string());
        EXPECT_EQ(Started(ShellExecuteA(nullptr, c.operation, c.file, nullptr, c.directory, SW_SHOW)),
                  c.expected)
            << (c.operation ? c.operation : "") << " " << (c.file ? c.file : "(null)") << " in "
            << (c.directory ? c.directory : "(none)");
    }
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

} // namespace
