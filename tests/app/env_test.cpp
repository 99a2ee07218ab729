#include "app/env.hpp"
#include "app/vocabulary.hpp"

#include <gtest/gtest.h>

TEST(EnvDetection, DerivesEveryPathTextuallyFromTheArgument) {
    Env const env = detect_env("proj", false);
    EXPECT_EQ(env.rootpath, "proj");
    EXPECT_EQ(env.datapath, "proj/.wardlet");
    EXPECT_EQ(env.dbpath.native(), "proj/.wardlet/wardlet.sqlite3");
    EXPECT_FALSE(env.logpath.has_value());
    EXPECT_EQ(env.editor, TextEditor::VSCODE);

    EXPECT_EQ(detect_env("proj/", false).dbpath.native(), "proj/.wardlet/wardlet.sqlite3");
    EXPECT_EQ(detect_env("", false).datapath.native(), ".wardlet");
    EXPECT_EQ(detect_env("/abs/p", true).logpath->native(), "/abs/p/.wardlet/wardlet.log");
}

TEST(EnvDetection, MatchesTheSystemNameExactly) {
    EXPECT_EQ(os_from_sysname("Linux"), "LINUX");
    EXPECT_EQ(os_from_sysname("Darwin"), "OSX");
    EXPECT_EQ(os_from_sysname("linux"), "OTHER");
    EXPECT_EQ(os_from_sysname("FreeBSD"), "OTHER");
    EXPECT_EQ(os_from_sysname(""), "OTHER");
    EXPECT_EQ(detect_env("p", false).os, OS::LINUX);
}

TEST(EnvDetection, BannerShowsEveryFieldOnItsOwnLine) {
    Env env = detect_env("proj", false);
    env.os = OS::OSX;
    EXPECT_EQ(env_banner(env),
              "=================\n"
              "env detected: \n"
              "\trootpath=proj\n"
              "\tdbpath=proj/.wardlet/wardlet.sqlite3\n"
              "\tlogpath=\n"
              "\tos=OSX\n"
              "\teditor=VSCODE\n"
              "=================");
}
