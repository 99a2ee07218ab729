#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(EntryPoint, MissingArgumentPrintsUsageAndExits255) {
    auto const result = run_process({WARDLET_BIN});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output,
              std::string("[Wardlet]::client correct usage: ") + WARDLET_BIN + " [proj_dir]\n");
}

TEST(EntryPoint, PrintsTheEnvironmentBannerForTheFirstArgumentOnly) {
    TempDir project;
    ChildProcess child({WARDLET_BIN, "proj/", "ignored"}, {.env = {}, .cwd = project.path()});
    ASSERT_TRUE(child.wait_for_output("editor=VSCODE\n=================\n", 10s)) << child.output();
    std::string const banner =
        "=================\nenv detected: \n\trootpath=proj/\n"
        "\tdbpath=proj/.wardlet/wardlet.sqlite3\n\tlogpath=\n\tos=LINUX\n\teditor=VSCODE\n"
        "=================\n";
    EXPECT_EQ(child.output().substr(0, banner.size()), banner);
}
