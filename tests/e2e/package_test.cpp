#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The package names in a Depends field, without versions or alternatives' other choices.
std::vector<std::string> depended_packages(std::string const& info) {
    auto const start = info.find("Depends: ");
    if (start == std::string::npos) {
        return {};
    }
    std::string const field = info.substr(start + 9, info.find('\n', start) - start - 9);
    std::vector<std::string> names;
    std::istringstream entries(field);
    for (std::string entry; std::getline(entries, entry, ',');) {
        std::istringstream words(entry);
        std::string name;
        words >> name;
        names.push_back(name);
    }
    return names;
}

// The package is made once for the suite: CPack from this build, into a temporary folder.
class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        out_ = new TempDir;
        made_ = new ProcessResult(
            run_process({CPACK_BIN, "--config", std::string(BUILD_DIR) + "/CPackConfig.cmake", "-B",
                         out_->path().native()},
                        {.env = {}, .cwd = fs::path(BUILD_DIR)}, 180s));
    }
    static void TearDownTestSuite() {
        delete made_;
        delete out_;
    }
    void SetUp() override { ASSERT_EQ(made_->status, 0) << made_->output; }
    static fs::path deb() { return *out_ / ("wardlet_" PACKAGE_VERSION "_amd64.deb"); }

    static TempDir* out_;
    static ProcessResult* made_;
};
TempDir* Package::out_ = nullptr;
ProcessResult* Package::made_ = nullptr;

}  // namespace

// The control data names the runtime libraries the programs link, each of which is a package
// known here; the files are the programs, the unit, the README.
TEST_F(Package, HoldsTheProgramsTheUnitAndTheReadmeAndDependsOnTheRuntimeLibraries) {
    auto const info = run_process({"/usr/bin/dpkg-deb", "--info", deb().native()});
    ASSERT_EQ(info.status, 0) << info.output;
    for (std::string const field :
         {" Package: wardlet\n", " Version: " PACKAGE_VERSION "\n", " Architecture: amd64\n"}) {
        EXPECT_TRUE(has(info.output, field)) << info.output;
    }
    auto const depends = depended_packages(info.output);
    for (std::string const library : {"libc6", "libstdc++6", "libsqlite3-0"}) {
        EXPECT_NE(std::find(depends.begin(), depends.end(), library), depends.end()) << info.output;
    }
    for (auto const& name : depends) {
        EXPECT_EQ(run_process({"/usr/bin/dpkg-query", "-W", name}).status, 0) << name;
    }
    auto const contents = run_process({"/usr/bin/dpkg-deb", "--contents", deb().native()});
    ASSERT_EQ(contents.status, 0) << contents.output;
    for (std::string const file :
         {"./usr/bin/wardlet\n", "./usr/bin/wardlet-track\n", "./usr/bin/wardlet-send\n",
          "./usr/bin/wardlet-report\n", "./usr/lib/systemd/user/wardlet@.service\n",
          "./usr/share/doc/wardlet/README.md\n"}) {
        EXPECT_TRUE(has(contents.output, file)) << contents.output;
    }
    EXPECT_FALSE(has(contents.output, BUILD_DIR));
    EXPECT_FALSE(has(contents.output, "/usr/local")) << contents.output;
}

TEST_F(Package, PassesLintianWhereItIsInstalled) {
    auto const lintian = find_program("lintian");
    if (!lintian) {
        GTEST_SKIP() << "lintian is not installed";
    }
    auto const checked =
        run_process({lintian->native(), "--no-tag-display-limit", deb().native()}, {}, 120s);
    // Errors other than the missing licence and changelog files, which the project has yet to
    // choose, fail the test.
    std::istringstream lines(checked.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("E: ") && !has(line, "no-copyright-file") && !has(line, "changelog")) {
            ADD_FAILURE() << line;
        }
    }
}

// Unpacked into a temporary root, the programs run: each prints its help, and the monitor
// records a change on a project prepared by the packaged wardlet-track.
TEST_F(Package, TheUnpackedProgramsRunAndTheMonitorRecords) {
    TempDir root;
    auto const unpacked = run_process({"/usr/bin/dpkg-deb", "-x", deb().native(), root.path()});
    ASSERT_EQ(unpacked.status, 0) << unpacked.output;
    fs::path const bin = root / "usr" / "bin";
    for (std::string const program :
         {"wardlet", "wardlet-track", "wardlet-send", "wardlet-report"}) {
        auto const help = run_process({(bin / program).native(), "--help"});
        EXPECT_EQ(help.status, 0) << program << ": " << help.output;
        EXPECT_TRUE(has(help.output, "usage: " + program)) << help.output;
    }
    EXPECT_TRUE(has(read_file(root / "usr/lib/systemd/user/wardlet@.service"),
                    "ExecStart=/usr/bin/wardlet %f\n"));

    MonitorHarness monitor;
    fs::remove_all(monitor.project() / ".wardlet");
    auto const file = write_file(monitor.project() / "main.c", "int main;\n");
    auto const tracked =
        run_process({(bin / "wardlet-track").native(), monitor.project(), "--pattern", "*.c"});
    ASSERT_EQ(tracked.status, 0) << tracked.output;
    ChildProcess wardlet({(bin / "wardlet").native(), monitor.project().native(), "--socket",
                          monitor.socket()},
                         {.env = {{"HOME", monitor.home().native()}}, .cwd = std::nullopt});
    ASSERT_TRUE(wardlet.wait_for_output("[VSCodeListener] started\n", 20s)) << wardlet.output();
    monitor.send(Change{.file = file, .inserted = "x", .offset = 0}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1) << wardlet.output();
    wardlet.send_signal(SIGTERM);
    EXPECT_EQ(wardlet.wait(20s), 0) << wardlet.output();
}
