// oska-render rendering the probe scene with the probe library, as a host
// writer runs it: wherever the report is to go, either both report files are
// written and nothing else in the folder changes, or oska-render fails with
// one line naming the report, and nothing it did not create is followed,
// replaced or left behind.
#include "folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using oska::render::test::names_in;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string shell_word(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         from = end + 1, end = text.find('\n', from)) {
        lines.push_back(text.substr(from, end - from));
    }
    return lines;
}

const char kOld[] = "an earlier run's report";
const char kVictim[] = "a file of someone else's";

// One case's folder D, with the victim of planted links and an old report.
class ProbeReport : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/oska-probe-report-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        d = name;
        put(d + "/victim", kVictim);
        put(d + "/probe.json", slurp(OSKA_EXAMPLES_DIR "/probe.json"));
        ASSERT_EQ(mkdir((d + "/textures").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((d + "/image").c_str(), 0755), 0);
        put(d + "/textures/rainbow.png", slurp(OSKA_EXAMPLES_DIR "/textures/rainbow.png"));
    }
    void TearDown() override {
        chmod((d + "/reports").c_str(), 0755);
        ASSERT_EQ(std::system(("rm -rf " + shell_word(d)).c_str()), 0);
    }

    // Runs `before` (a shell command; $$ is the renderer's process id, as
    // exec keeps it), then oska-render on the probe scene with the report
    // folder `folder`, bound by permissions when `bound`; standard error in
    // `err`. Root gives up overriding permissions rather than becoming
    // another user: it still owns the files it made here and reads the
    // program and library in a build only root may read.
    int render(const std::string &folder, const std::string &before = ":", bool bound = false) {
        std::string command =
            "cd " + shell_word(d) + " && " + before + " && exec " +
            (bound && geteuid() == 0 ? "setpriv --bounding-set -dac_override,-dac_read_search "
                                     : "") +
            shell_word(OSKA_RENDER_PROGRAM) + " probe.json --library " +
            shell_word(OSKA_PROBE_LIBRARY_FILE) + " -o " + shell_word(d + "/image/out.png") +
            " --size 32x24 -q";
        int status = std::system(("OSKA_PROBE_REPORT_DIR=" + shell_word(folder) + " sh -c " +
                                  shell_word(command) + " 2>" + shell_word(d + "/err"))
                                     .c_str());
        err = slurp(d + "/err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string d;
    std::string err;
};

TEST_F(ProbeReport, WrittenWholeOrFailsNamingIt) {
    const std::string reports = "$D/reports";
    const struct {
        const char *what;
        std::string folder; // the report folder; $D stands for the case's folder
        std::string before; // shell commands run first, in $D
        bool read_only;     // the folder holds an old report and cannot be written
        const char *said;   // in the one line naming the report; nullptr: written
    } cases[] = {
        {"a folder of its own", reports, "mkdir reports", false, nullptr},
        {"links at the temporaries' names of earlier versions", reports,
         "mkdir reports && ln -s ../victim reports/oska-probe-report.md.$$.tmp && "
         "ln -s ../victim reports/oska-probe-report.json.$$.tmp",
         false, nullptr},
        {"a missing folder", "$D/missing", ":", false,
         "$D/missing/oska-probe-report.md: cannot create a temporary file beside it: No such file "
         "or "
         "directory"},
        {"a file in the folder's place", "$D/victim", ":", false,
         "$D/victim/oska-probe-report.md: cannot create a temporary file beside it: Not a "
         "directory"},
        {"a read-only folder", reports,
         "mkdir reports && echo -n \"" + std::string(kOld) +
             "\" > reports/oska-probe-report.md && chmod 555 reports",
         true,
         "$D/reports/oska-probe-report.md: cannot create a temporary file beside it: Permission "
         "denied"},
        {"a folder name too long", "$D/" + std::string(300, 'n'), ":", false,
         "/oska-probe-report.md: cannot create a temporary file beside it: File name too long"},
        {"a folder at the report's name", reports, "mkdir -p reports/oska-probe-report.md", false,
         "$D/reports/oska-probe-report.md exists and is not a regular file"},
        {"a link at the report's name", reports,
         "mkdir reports && ln -s ../victim reports/oska-probe-report.md", false,
         "$D/reports/oska-probe-report.md exists and is not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        auto expand = [this](std::string text) {
            for (auto at = text.find("$D"); at != std::string::npos; at = text.find("$D", at)) {
                text.replace(at, 2, d);
            }
            return text;
        };
        const std::string folder = expand(c.folder);
        const int status = render(folder, c.before, c.read_only);
        EXPECT_EQ(slurp(d + "/victim"), kVictim) << "a planted link was followed";
        for (const std::string &name : names_in(folder)) {
            EXPECT_EQ(name.find(".oska-probe-"), std::string::npos) << "left behind: " << name;
        }
        if (c.said == nullptr) {
            EXPECT_EQ(status, 0) << err;
            EXPECT_EQ(err, "");
            EXPECT_NE(slurp(folder + "/oska-probe-report.md").find("**Verdict:** PASS"),
                      std::string::npos);
            EXPECT_NE(slurp(folder + "/oska-probe-report.json").find("\"failed\": 0,"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(status, 1);
        const std::vector<std::string> lines = lines_of(err);
        if (lines.size() != 1) {
            ADD_FAILURE() << "not one line:\n" << err;
            continue;
        }
        EXPECT_EQ(lines[0].rfind("oska-render: probe.json: oska_probe-> the report was not "
                                 "written: ",
                                 0),
                  0u)
            << lines[0];
        EXPECT_NE(lines[0].find(expand(c.said)), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("any report already in " + folder + " is an earlier run's"),
                  std::string::npos)
            << lines[0];
        if (c.read_only) {
            EXPECT_EQ(slurp(folder + "/oska-probe-report.md"), kOld);
        }
    }
}

} // namespace
