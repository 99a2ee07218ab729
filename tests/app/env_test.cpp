#include "app/env.hpp"
#include "app/vocabulary.hpp"

#include <gtest/gtest.h>

// Every path is derived textually from the argument; the banner shows every field on its line.
TEST(EnvDetection, DerivesEveryPathFromTheArgumentAndShowsThemInTheBanner) {
    EXPECT_EQ(detect_env("proj/", false).datapath.native(), "proj/.wardlet");
    EXPECT_EQ(detect_env("proj/", false).dbpath.native(), "proj/.wardlet/wardlet.sqlite3");
    EXPECT_EQ(detect_env("", false).datapath.native(), ".wardlet");
    EXPECT_EQ(detect_env("/abs/p", true).logpath->native(), "/abs/p/.wardlet/wardlet.log");
    Env env = detect_env("proj", false);
    EXPECT_EQ(env.os, OS::LINUX);
    env.os = OS::OSX;
    EXPECT_EQ(env_banner(env),
              "=================\nenv detected: \n\trootpath=proj\n"
              "\tdbpath=proj/.wardlet/wardlet.sqlite3\n\tlogpath=\n\tos=OSX\n\teditor=VSCODE\n"
              "=================");
}

TEST(EnvDetection, MatchesTheSystemNameExactly) {
    EXPECT_EQ(os_from_sysname("Linux"), "LINUX");
    EXPECT_EQ(os_from_sysname("Darwin"), "OSX");
    EXPECT_EQ(os_from_sysname("linux"), "OTHER");
}
