// Preloaded into tracker-reaper by a test: a process that asks for its death signal
// first creates the file named by SLOW_DEATH_SIGNAL_MARK, then waits a second, so that
// the test can kill its parent in between.
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

extern "C" int prctl(int option, ...)
{
    va_list arguments;
    va_start(arguments, option);
    unsigned long values[4];
    for (unsigned long &value : values)
        value = va_arg(arguments, unsigned long);
    va_end(arguments);
    if (option == PR_SET_PDEATHSIG) {
        if (const char *mark = ::getenv("SLOW_DEATH_SIGNAL_MARK"))
            ::close(::open(mark, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::sleep(1);
    }
    using Prctl = int (*)(int, ...);
    static const auto real = reinterpret_cast<Prctl>(::dlsym(RTLD_NEXT, "prctl"));
    return real(option, values[0], values[1], values[2], values[3]);
}
