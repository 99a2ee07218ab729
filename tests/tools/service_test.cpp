#include "tools/service.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tools/track.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(Service, InstanceNamesEscapeThePathAsSystemdDoes) {
    EXPECT_EQ(systemd_escape_path("/home/ann/proj"), "home-ann-proj");
    EXPECT_EQ(systemd_escape_path("/"), "-");
    EXPECT_EQ(systemd_escape_path("//tmp//my-proj/./x/"), "tmp-my\\x2dproj-x");
    EXPECT_EQ(systemd_escape_path("/.hidden/a b/ü:_.c"), "\\x2ehidden-a\\x20b-\\xc3\\xbc:_.c");
    EXPECT_EQ(service_instance("/home/ann/proj"), "wardlet@home-ann-proj.service");
    auto const escape = find_program("systemd-escape");
    if (!escape) {
        GTEST_SKIP() << "systemd-escape is not installed: compared with fixed names only";
    }
    for (std::string const path :
         {"/home/ann/proj", "/tmp/a b/.x/ü", "/srv/x-y/z\\w", "/a.b/c~d", "/.dot", "/p/ü-ö/$x"}) {
        auto const result = run_process({escape->native(), "--path", path});
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(systemd_escape_path(path) + "\n", result.output) << path;
    }
}

// The template as installed and as written by wardlet-track passes systemd's own check.
TEST(Service, TheUnitRestartsOnFailureLogsToTheJournalAndPassesSystemdAnalyze) {
    std::string const unit = service_unit(WARDLET_BIN);
    for (std::string const line : {"ExecStart=" WARDLET_BIN " %f\n", "Restart=on-failure\n",
                                   "StandardOutput=journal\n", "WantedBy=default.target\n"}) {
        EXPECT_TRUE(has(unit, line)) << line;
    }
    auto const analyze = find_program("systemd-analyze");
    if (!analyze) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    TempDir dir;
    write_file(dir / "wardlet@tmp-proj.service", unit);
    auto const result = run_process(
        {analyze->native(), "verify", "--user", (dir / "wardlet@tmp-proj.service").native()},
        {.env = {{"HOME", dir.path().native()}, {"XDG_RUNTIME_DIR", dir.path().native()}},
         .cwd = std::nullopt});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "");  // systemd warns of a line it ignores, and still exits with 0
}

class ServiceTool : public ::testing::Test {
protected:
    ServiceTool() {
        fs::create_directories(home / "bin");
        fs::create_directories(project / ".wardlet");
    }
    ProcessResult track(std::vector<std::string> args, std::string const& path) {
        args.insert(args.begin(), TRACK_BIN);
        return run_process(std::move(args), {.env = {{"HOME", home.path().native()},
                                                     {"XDG_CONFIG_HOME", std::nullopt},
                                                     {"PATH", path}},
                                             .cwd = std::nullopt});
    }
    fs::path unit_file() const {
        return home / ".config" / "systemd" / "user" / "wardlet@.service";
    }

    TempDir home;
    TempDir project;
};

// Without a systemd user manager the tool says so and writes nothing.
TEST_F(ServiceTool, WithoutSystemdItRefusesAndWritesNothing) {
    auto result = track({project.path(), "--service"}, (home / "bin").native());
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(has(result.output, "systemd is not present here")) << result.output;
    // A systemctl that finds no manager to talk to, as in a container.
    write_file(home / "bin" / "systemctl",
               "#!/bin/sh\necho 'Failed to connect to bus' >&2\nexit 1\n");
    fs::permissions(home / "bin" / "systemctl", fs::perms::owner_all);
    for (std::string const command : {"--service", "--no-service"}) {
        result = track({project.path(), command}, (home / "bin").native());
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(has(result.output,
                        "no systemd user manager answers here "
                        "(systemctl --user: Failed to connect to bus)"))
            << result.output;
    }
    EXPECT_FALSE(fs::exists(home / ".config"));
}

// With a manager (here a systemctl that records its calls) the template is written and the
// project's instance enabled; --no-service disables it and removes the template.
TEST_F(ServiceTool, ServiceEnablesTheProjectsInstanceAndNoServiceRemovesIt) {
    fs::path const calls = home / "calls";
    write_file(home / "bin" / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + calls.native() + "'\n");
    fs::permissions(home / "bin" / "systemctl", fs::perms::owner_all);
    auto result = track({project.path(), "--service"}, (home / "bin").native());
    ASSERT_EQ(result.status, 0) << result.output;
    std::string const instance = service_instance(project.path());
    EXPECT_EQ(read_file(unit_file()), service_unit(WARDLET_BIN));
    EXPECT_EQ(read_file(calls),
              "--user show-environment\n--user daemon-reload\n"
              "--user enable --now " +
                  instance + "\n");
    fs::remove(calls);
    result = track({project.path(), "--no-service"}, (home / "bin").native());
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(calls), "--user show-environment\n--user disable --now " + instance +
                                    "\n--user daemon-reload\n");
    EXPECT_FALSE(fs::exists(unit_file()));
    // An unprepared project has nothing to monitor.
    TempDir bare;
    result = track({bare.path(), "--service"}, (home / "bin").native());
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(has(result.output, "is not prepared")) << result.output;
}
