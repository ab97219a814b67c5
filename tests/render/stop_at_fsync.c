/* Preloaded into oska-render by the tests: the program stops itself
 * (SIGSTOP) at its first fsync, the moment its temporary is written whole
 * and not yet renamed, so that a test can signal it there and nowhere else.
 * Later fsyncs go through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdatomic.h>
#include <unistd.h>

int fsync(int fd) {
    static atomic_int stopped = 0;
    if (atomic_exchange(&stopped, 1) == 0) {
        raise(SIGSTOP);
    }
    int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return next(fd);
}
