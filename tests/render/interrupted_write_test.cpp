// oska-render ended by a signal in the middle of writing a file or of a long
// render, and the lookdev page's save through the real server: whatever ends
// the program, the file written keeps its old bytes or gets all of its new
// ones, and no temporary is left beside it.
#include "render_test.h"

#include <oska/host/library.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace oska::render::test {
namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// oska-render started with `args`, its standard output on a pipe; with
// `stop`, the program stops itself at its first fsync, its temporary then
// written whole and not yet renamed.
struct Started {
    pid_t pid = -1;
    FILE *out = nullptr;
};

Started start(const std::vector<std::string> &args, bool stop) {
    std::vector<char *> argv{const_cast<char *>(OSKA_RENDER_PROGRAM)};
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::string preload = host::built_file_path("librender_test_stop_at_fsync.so");
    int pipe_ends[2];
    EXPECT_EQ(pipe(pipe_ends), 0);
    Started started;
    started.pid = fork();
    if (started.pid == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        if (stop) {
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        }
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        alarm(60); // a hang ends as a signal
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_ends[1]);
    started.out = fdopen(pipe_ends[0], "r");
    return started;
}

// Waits for `pid` to stop or end; its status.
int wait_for(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, WUNTRACED);
    return status;
}

// The names in `d` that are not in `before`.
std::vector<std::string> added(const TempDir &d, const std::vector<std::string> &before) {
    std::vector<std::string> now = d.list(), out;
    for (const std::string &name : now) {
        if (std::find(before.begin(), before.end(), name) == before.end()) {
            out.push_back(name);
        }
    }
    return out;
}

const std::string kOld = "the previous image, kept byte for byte";

// Waits at most `seconds` for `pid` to end (only to catch a hang: a stop
// takes a fraction of a second); its status, or -1 when it still runs, and
// then it is killed.
int wait_at_most(pid_t pid, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        usleep(10000);
    }
    return status;
}

// The threads of process `pid`.
int threads_of(pid_t pid) {
    int count = 0;
    if (DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent *entry = readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(tasks);
    }
    return count;
}

// Eight lights over a floor, in rows of 16,384 pixels, each light taking
// 65,535 samples at a camera sample (its own count, which the lookdev
// server's coarse passes keep): a row takes minutes, a camera sample
// milliseconds.
std::string long_rows_scene() {
    json scene = floor_scene({{"color", {1, 1, 1, 1}}});
    scene["image"] = {{"width", 16384}, {"height", 4}, {"spp", 1}, {"light_samples", 65535}};
    scene["camera"]["height"] = 0.05;
    json panel = scene["objects"][1];
    scene["objects"].erase(1);
    scene["lights"] = json::array();
    for (int i = 0; i < 8; ++i) {
        const std::string name = "panel" + std::to_string(i);
        panel["name"] = name;
        panel["size"] = {0.5, 0.5};
        panel["translate"] = {-7 + 2 * i, 1, 0};
        scene["objects"].push_back(panel);
        scene["lights"].push_back({{"name", "lamp" + std::to_string(i)},
                                   {"object", name},
                                   {"samples", 65535},
                                   {"params", {{"color", {1, 1, 1, 1}}}}});
    }
    return scene.dump();
}

TEST(InterruptedWrite, ASignalLeavesTheOldImageAndNoTemporary) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir d;
        d.write("s.json", floor_scene({{"color", {1, 1, 1, 1}}}).dump());
        d.write("out.png", kOld);
        const std::vector<std::string> before = d.list();
        Started run = start({d.file("s.json"), "-o", d.file("out.png"), "--quiet"}, true);
        int status = wait_for(run.pid);
        ASSERT_TRUE(WIFSTOPPED(status)) << "the program did not reach its write";
        EXPECT_EQ(added(d, before).size(), 1u) << "no temporary while the image is written";
        kill(run.pid, signal);
        kill(run.pid, SIGCONT);
        status = wait_for(run.pid);
        fclose(run.out);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal); // ended as the signal ends it
        EXPECT_EQ(added(d, before), std::vector<std::string>{});
        EXPECT_EQ(slurp(d.file("out.png")), kOld);
    }
}

// SIGINT or SIGTERM in the middle of a long render ends it at once: the
// command line ends by the signal with the old image kept and nothing beside
// it, the lookdev server stops its render and exits with 0.
TEST(InterruptedWrite, ASignalEndsALongRenderAtOnce) {
    for (bool serve : {false, true}) {
        for (int signal : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(serve ? "serve, " : "render, ") + strsignal(signal));
            TempDir d;
            std::string scene = d.write("long.json", long_rows_scene());
            d.write("out.png", kOld);
            const std::vector<std::string> before = d.list();
            Started run = start(serve ? std::vector<std::string>{"serve", scene, "--threads", "2"}
                                      : std::vector<std::string>{scene, "-o", d.file("out.png"),
                                                                 "--threads", "2", "--quiet"},
                                false);
            if (serve) {
                // The address comes once the render thread has started.
                char line[512] = {};
                ASSERT_NE(fgets(line, sizeof line, run.out), nullptr);
            } else {
                // The render's two threads beside the main one (at most
                // 10 s: the assertions below hold whenever the signal comes).
                for (int i = 0; i < 1000 && threads_of(run.pid) < 3; ++i) {
                    usleep(10000);
                }
            }
            usleep(200000); // well into the first rows
            kill(run.pid, signal);
            const int status = wait_at_most(run.pid, 10);
            fclose(run.out);
            ASSERT_NE(status, -1) << "still running 10 s after the signal";
            if (serve) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            } else {
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
            }
            EXPECT_EQ(added(d, before), std::vector<std::string>{});
            EXPECT_EQ(slurp(d.file("out.png")), kOld);
        }
    }
}

// An image written over an old one keeps the old one's permissions (a
// private file stays private); a new one gets 0666 less the umask.
TEST(InterruptedWrite, AReplacedImageKeepsItsPermissions) {
    const struct {
        mode_t old; // 0: no old image
        mode_t umask, expected;
    } cases[] = {
        {0600, 022, 0600}, {0640, 077, 0640}, {0664, 022, 0664}, {0, 022, 0644}, {0, 077, 0600}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.old) + " " + std::to_string(c.umask));
        TempDir d;
        d.write("s.json", floor_scene({{"color", {1, 1, 1, 1}}}).dump());
        if (c.old != 0) {
            d.write("out.png", kOld);
            chmod(d.file("out.png").c_str(), c.old);
        }
        mode_t was = umask(c.umask); // the child's, from the fork
        Started run = start({d.file("s.json"), "-o", d.file("out.png"), "--quiet"}, false);
        umask(was);
        int status = wait_for(run.pid);
        fclose(run.out);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        struct stat info;
        ASSERT_EQ(stat(d.file("out.png").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.expected);
        EXPECT_NE(slurp(d.file("out.png")), kOld);
    }
}

// A running `oska-render serve SCENE`, and its save requested over HTTP.
class Server {
  public:
    Server(const std::string &scene, bool stop) : run_(start({"serve", scene}, stop)) {
        char line[512] = {};
        if (fgets(line, sizeof line, run_.out) == nullptr) {
            return;
        }
        std::string url = line; // "oska lookdev: http://127.0.0.1:PORT/?token=TOKEN"
        auto colon = url.find(':', url.find("127.0.0.1"));
        port_ = std::atoi(url.c_str() + colon + 1);
        token_ = url.substr(url.find("token=") + 6);
        token_.erase(token_.find_last_not_of("\r\n") + 1);
    }
    ~Server() {
        if (run_.pid > 0 && waitpid(run_.pid, nullptr, WNOHANG) == 0) {
            kill(run_.pid, SIGKILL);
            kill(run_.pid, SIGCONT);
            waitpid(run_.pid, nullptr, 0);
        }
        if (run_.out != nullptr) {
            fclose(run_.out);
        }
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Sends the save over a connection of its own, which it gives.
    int send_save() {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(port_));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_GT(port_, 0);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        std::string here = "127.0.0.1:" + std::to_string(port_);
        std::string request = "POST /api/save HTTP/1.1\r\nHost: " + here +
                              "\r\nX-Oska-Token: " + token_ +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        EXPECT_EQ(write(s, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        return s;
    }

    // The body of the response on connection `s`, which it closes.
    static std::string answer(int s) {
        std::string response;
        char buffer[4096];
        for (ssize_t got; (got = read(s, buffer, sizeof buffer)) > 0;) {
            response.append(buffer, static_cast<std::size_t>(got));
        }
        close(s);
        auto body = response.find("\r\n\r\n");
        return body == std::string::npos ? response : response.substr(body + 4);
    }

    pid_t pid() const { return run_.pid; }

  private:
    Started run_;
    int port_ = 0;
    std::string token_;
};

// The scene the server opens: a floor lit by one panel.
std::string lit_scene() { return floor_scene({{"color", {1, 1, 1, 1}}}).dump(); }

TEST(InterruptedWrite, LookdevSavesBesideAnyNameAndNeverThroughALink) {
    const std::string long_name = std::string(245, 'n') + ".json"; // 250 bytes: ".bak" still fits
    const struct {
        const char *name;
        std::string scene;  // the scene's file name
        std::string text;   // its text
        bool backup_link;   // a symbolic link planted where the backup goes
        const char *answer; // the start of the save's response
    } cases[] = {
        {"a 250-byte name", long_name, lit_scene(), false, "{\"backup\":"},
        {"a byte-order mark, kept", "s.json", "\xEF\xBB\xBF" + lit_scene(), false, "{\"backup\":"},
        {"a link where the backup goes", "s.json", lit_scene(), true,
         "{\"error\":\"$D/s.json.bak: cannot write the backup: it is a symbolic link (only a "
         "regular file is replaced)\"}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        std::string scene = d.write(c.scene, c.text);
        d.write("elsewhere", kOld);
        if (c.backup_link) {
            ASSERT_EQ(symlink(d.file("elsewhere").c_str(), (scene + ".bak").c_str()), 0);
        }
        std::vector<std::string> before = d.list();
        Server server(scene, false);
        std::string answer = Server::answer(server.send_save());
        std::string expected = c.answer;
        for (auto at = expected.find("$D"); at != std::string::npos; at = expected.find("$D")) {
            expected.replace(at, 2, d.path());
        }
        EXPECT_EQ(answer.substr(0, expected.size()), expected) << answer;
        kill(server.pid(), SIGTERM);
        EXPECT_EQ(WEXITSTATUS(wait_for(server.pid())), 0);
        EXPECT_EQ(slurp(d.file("elsewhere")), kOld);
        if (c.backup_link) {
            EXPECT_EQ(slurp(scene), c.text);
            EXPECT_EQ(added(d, before), std::vector<std::string>{});
            continue;
        }
        EXPECT_EQ(slurp(scene + ".bak"), c.text);
        EXPECT_EQ(slurp(scene).substr(0, 3) == "\xEF\xBB\xBF",
                  c.text.substr(0, 3) == "\xEF\xBB\xBF");
        EXPECT_NO_THROW(load_scene_file(scene, {})) << "the saved scene reads back";
        EXPECT_EQ(added(d, before), std::vector<std::string>{c.scene + ".bak"});
    }
}

// The server waits for SIGINT and SIGTERM itself and ends once the save
// under way is done; SIGHUP and SIGQUIT end it at once. Either way no
// temporary is left, and the scene is whole, old or new.
TEST(InterruptedWrite, ASignalDuringALookdevSaveLeavesNoTemporary) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir d;
        std::string scene = d.write("s.json", lit_scene());
        std::vector<std::string> before = d.list();
        Server server(scene, true);
        int connection = server.send_save();
        int status = wait_for(server.pid());
        ASSERT_TRUE(WIFSTOPPED(status)) << "the server did not reach its write";
        EXPECT_EQ(added(d, before).size(), 1u) << "no temporary while the backup is written";
        kill(server.pid(), signal);
        kill(server.pid(), SIGCONT);
        status = wait_for(server.pid());
        bool waited = signal == SIGINT || signal == SIGTERM;
        if (waited) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(added(d, before), std::vector<std::string>{"s.json.bak"});
            EXPECT_NO_THROW(load_scene_file(scene, {}));
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
            EXPECT_EQ(added(d, before), std::vector<std::string>{});
            EXPECT_EQ(slurp(scene), lit_scene());
        }
        close(connection);
    }
}

} // namespace
} // namespace oska::render::test
