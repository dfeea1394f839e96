// tracker-reaper COMMAND [ARGUMENTS]...: how tracker-sim runs its command. It makes a PID
// namespace whose first process starts the command as its child (the first process of a
// namespace ignores every signal it has no handler for, which the command must not) and
// reaps whatever ends there. When that first process ends, with the command or with us,
// the kernel ends the rest of the namespace. Leaves with the command's exit code, or
// 128 + N when signal N ended it; 127 when it cannot be started. Inside the namespace,
// /proc is the namespace's own.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int cannotStart(const char *program)
{
    std::fprintf(stderr, "tracker-sim: cannot start %s: %s\n", program, std::strerror(errno));
    return 127;
}

int cannotMakeNamespace()
{
    std::fprintf(stderr, "tracker-sim: cannot make a PID namespace for the command: %s\n", std::strerror(errno));
    return 127;
}

int exitCodeOf(int status)
{
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Waits for `child`, reaping every other process that ends meanwhile.
int reapUntil(pid_t child)
{
    for (;;) {
        int status = 0;
        const pid_t ended = ::wait(&status);
        if (ended == child)
            return exitCodeOf(status);
        if (ended < 0 && errno != EINTR)
            return 127;
    }
}

// Processes that look themselves up in /proc by their PID (sanitizers, ps, $$ in a
// shell) must find themselves there. A /proc of our own takes a mount namespace of our
// own, which still sees ports plugged later (the simulated /dev is a shared mount).
// Its mounts are made slaves first, so that the /proc never spreads back to the caller's.
// Where the system refuses it, the command sees the machine's /proc, as before.
void mountOwnProc()
{
    if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0)
        ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
}

// Whether the process that holds the pipe's other end has ended: then no death signal
// can come any more.
bool hungUp(int readEnd)
{
    pollfd end { readEnd, POLLIN, 0 };
    return ::poll(&end, 1, 0) == 1 && (end.revents & POLLHUP);
}

int runCommand(char *command[])
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(command[0], command);
        ::_exit(cannotStart(command[0]));
    }
    return child < 0 ? cannotStart(command[0]) : reapUntil(child);
}

}

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fputs("Usage: tracker-reaper COMMAND [ARGUMENTS]...\n", stderr);
        return 2;
    }
    // Left with _exit: a check at exit (a leak sanitizer's) that starts a process would
    // fail once the namespace's first process has ended.
    if (::unshare(CLONE_NEWPID) != 0)
        ::_exit(cannotMakeNamespace());
    // Held open by this process alone, to tell the first process whether it was killed
    // before that process asked for its death signal.
    int alive[2];
    if (::pipe2(alive, O_CLOEXEC) != 0)
        ::_exit(cannotStart(argv[1]));
    const pid_t first = ::fork();
    if (first == 0) {
        ::close(alive[1]);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (hungUp(alive[0]))
            ::_exit(127);
        mountOwnProc();
        ::_exit(runCommand(argv + 1));
    }
    ::close(alive[0]);
    ::_exit(first < 0 ? cannotStart(argv[1]) : reapUntil(first));
}
