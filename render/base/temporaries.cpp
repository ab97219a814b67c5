#include "temporaries.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <unistd.h>

namespace oska::render {

namespace {

// The live temporaries' names, where a signal handler can read them: fixed
// storage, and a flag set only once the name is whole and the file exists.
struct Slot {
    std::atomic<bool> live{false};
    char name[4096] = {};
};
Slot slots[16];
std::mutex choosing; // between threads taking and freeing slots

// Threads in the middle of making, renaming or removing a temporary, and
// the signal that is to end the program (0: none yet). A handler that finds
// a thread in the middle of such a step leaves the ending to that thread,
// which ends the program once the step is whole: the registry never differs
// from the folder while a handler reads it.
std::atomic<int> busy{0};
std::atomic<int> ending{0};

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Removes every live temporary and ends the program by `signal`, as it
// would have ended without a handler. Only async-signal-safe calls.
[[noreturn]] void end_by(int signal) {
    for (Slot &slot : slots) {
        if (slot.live.load()) {
            unlink(slot.name);
        }
    }
    std::signal(signal, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(signal);
    _exit(128 + signal); // not reached: the default action ends the program
}

extern "C" void on_ending_signal(int signal) {
    int none = 0;
    ending.compare_exchange_strong(none, signal);
    if (busy.load() == 0) {
        end_by(ending.load());
    }
}

// Handlers for the signals that end a program, where nothing else handles
// or ignores them (a server that waits for them itself keeps doing so).
void install_handlers() {
    for (int signal : kEndingSignals) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) != 0 || now.sa_handler != SIG_DFL ||
            (now.sa_flags & SA_SIGINFO) != 0) {
            continue;
        }
        struct sigaction handler {};
        handler.sa_handler = on_ending_signal;
        sigfillset(&handler.sa_mask);
        handler.sa_flags = SA_RESTART;
        sigaction(signal, &handler, nullptr);
    }
}

// A step that changes which temporaries exist; a signal that came during
// it ends the program at its end (or before it starts).
class Step {
  public:
    Step() {
        busy.fetch_add(1);
        if (ending.load() != 0) { // too late to start: the program is ending
            leave();
            for (;;) {
                pause(); // until the thread whose step is the last one ends it
            }
        }
    }
    ~Step() { leave(); }
    Step(const Step &) = delete;
    Step &operator=(const Step &) = delete;

  private:
    static void leave() {
        if (busy.fetch_sub(1) == 1 && ending.load() != 0) {
            end_by(ending.load());
        }
    }
};

// ".oska-" and ten letters or digits from the kernel's random source: short,
// and not to be guessed by someone who would place a file there first.
std::string random_name() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string name = ".oska-";
    for (int i = 0; i < 10; ++i) {
        name += kLetters[device() % (sizeof kLetters - 1)];
    }
    return name;
}

Slot *slot_of(const std::string &name) {
    std::lock_guard<std::mutex> lock(choosing);
    for (Slot &slot : slots) {
        if (slot.live.load() && name == slot.name) {
            return &slot;
        }
    }
    return nullptr;
}

// Opens `name` new and records it in a free slot (none free, or a name
// too long to record: still made, and removed on every other way out).
int open_recorded(const std::string &name) {
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 || name.size() >= sizeof slots[0].name) {
        return fd;
    }
    std::lock_guard<std::mutex> lock(choosing);
    for (Slot &slot : slots) {
        if (!slot.live.load()) {
            std::memcpy(slot.name, name.c_str(), name.size() + 1);
            slot.live.store(true);
            break;
        }
    }
    return fd;
}

} // namespace

Temporary create_temporary(const std::string &folder) {
    static std::once_flag installed;
    std::call_once(installed, install_handlers);
    Temporary made;
    for (int attempt = 0; attempt < 100; ++attempt) {
        made.name = (folder == "/" ? "" : folder) + "/" + random_name();
        Step step;
        made.fd = open_recorded(made.name);
        if (made.fd >= 0 || errno != EEXIST) {
            made.error = made.fd >= 0 ? 0 : errno;
            return made;
        }
    }
    made.error = EEXIST;
    return made;
}

int settle_temporary(const Temporary &temporary, const std::string &target) {
    Step step;
    int error = 0;
    if (!target.empty() && std::rename(temporary.name.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (target.empty() || error != 0) {
        unlink(temporary.name.c_str());
    }
    if (Slot *slot = slot_of(temporary.name)) {
        slot->live.store(false);
    }
    return error;
}

} // namespace oska::render
