// A device held by another process, as another program holding a port would: a child process
// opens the device and takes its exclusive lock until the holder goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

class THeldElsewhere
{
public:
    /// Returns once the child holds the lock (Held() tells whether it got it, within 5 s).
    explicit THeldElsewhere(const std::string& path)
    {
        int ready[2], release[2];
        if (pipe(ready) != 0)
            return;
        if (pipe(release) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        child = fork();
        if (child == 0) {
            // Only async-signal-safe calls: the parent has threads.
            close(ready[0]);
            close(release[1]);
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const char answer = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1)
                _exit(1);
            char unused;
            while (read(release[0], &unused, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        releaseFd = release[1];
        pollfd watched{ready[0], POLLIN, 0};
        char answer = 'n';
        if (child > 0 && poll(&watched, 1, 5000) == 1 && read(ready[0], &answer, 1) == 1)
            held = answer == 'y';
        close(ready[0]);
    }
    ~THeldElsewhere()
    {
        if (releaseFd >= 0)
            close(releaseFd); // the child leaves at end of file
        if (child > 0) {
            int status = 0;
            for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i)
                poll(nullptr, 0, 10);
            if (waitpid(child, &status, WNOHANG) == 0) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
            }
        }
    }
    THeldElsewhere(const THeldElsewhere&) = delete;
    THeldElsewhere& operator=(const THeldElsewhere&) = delete;

    bool Held() const { return held; }

private:
    pid_t child = -1;
    int releaseFd = -1;
    bool held = false;
};
