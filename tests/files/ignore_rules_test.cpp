#include "files/tracking_patterns.hpp"

#include <gtest/gtest.h>

// Each folder's rules judge the paths below it relative to that folder; deeper rules decide over
// shallower ones; what lies in an ignored folder stays ignored.
TEST(IgnoreRules, NestedFilesApplyBelowTheirFolderAndTheDeeperOneDecides) {
    IgnoreRules rules;
    EXPECT_FALSE(rules.ignored("a.log", false));  // no rules: nothing ignored
    rules.set("", {"*.log", "/out/", "cache"});
    rules.set("src", {"gen/", "!keep.log", "/local.py"});
    rules.set("src/deep", {"*.log"});
    struct Case {
        char const* path;
        bool directory;
        bool ignored;
    };
    for (Case const& c : {
             Case{"a.log", false, true},
             {"src/a.log", false, true},
             {"src/keep.log", false, false},       // re-included below src
             {"src/deep/keep.log", false, true},   // and ignored again deeper
             {"keep.log", false, true},            // src's rules do not reach the root
             {"out", true, true},                  // anchored at the root, folders only
             {"out", false, false},
             {"src/out", true, false},
             {"src/out/x.py", false, false},
             {"src/local.py", false, true},        // anchored at src
             {"src/sub/local.py", false, false},
             {"local.py", false, false},
             {"src/gen", true, true},
             {"src/gen/x.py", false, true},        // in an ignored folder
             {"src/deep/gen/x.py", false, true},   // src's "gen/" has no "/" before: any depth
             {"cache/x/y.py", false, true},
             {"srcx/a.py", false, false},
         }) {
        EXPECT_EQ(rules.ignored(c.path, c.directory), c.ignored) << c.path;
    }
    // What lies in an ignored folder cannot be taken back by a deeper rule.
    rules.set("out", {"!*"});
    EXPECT_TRUE(rules.ignored("out/a.py", false));
    rules.set("src", {});  // its file emptied or removed
    EXPECT_TRUE(rules.ignored("src/keep.log", false));
    EXPECT_FALSE(rules.ignored("src/local.py", false));
}

TEST(IgnoreRules, PatternsDecideOnlyWhenOneMatches) {
    std::vector<std::string> const patterns{"*.py", "!main.py"};
    EXPECT_EQ(patterns_decide(patterns, "a.py", false), true);
    EXPECT_EQ(patterns_decide(patterns, "main.py", false), false);
    EXPECT_EQ(patterns_decide(patterns, "a.c", false), std::nullopt);
    EXPECT_EQ(patterns_decide({"docs/"}, "docs", false), std::nullopt);
    EXPECT_EQ(patterns_decide({"docs/"}, "docs", true), true);
}

// Patterns come from the project (its .gitignore files, a patterns file a starter project ships):
// one of many "**" against a deep path is answered as any other, not by trying every way of
// splitting the path among them, which would keep the project follower busy for hours.
TEST(IgnoreRules, PatternsOfManyDoubleStarsAreAnsweredOnDeepPaths) {
    std::string stars;
    for (int n = 0; n < 24; ++n) {
        stars += "**/";
    }
    std::string deep;
    for (int n = 0; n < 60; ++n) {
        deep += "a/";
    }
    std::vector<std::string> const patterns{stars + "x.py"};
    EXPECT_FALSE(patterns_match(patterns, deep + "y.py"));
    EXPECT_TRUE(patterns_match(patterns, deep + "x.py"));
    EXPECT_TRUE(patterns_match(patterns, "x.py"));  // every "**" matching no folder
    EXPECT_EQ(patterns_decide(patterns, deep + "y.py", false), std::nullopt);
    IgnoreRules rules;
    rules.set("", {stars + "b/" + stars + "y.py"});
    EXPECT_FALSE(rules.ignored(deep + "y.py", false));
    EXPECT_TRUE(rules.ignored(deep + "b/a/y.py", false));
    EXPECT_TRUE(patterns_match({"a/**/**/b"}, "a/b"));
    EXPECT_TRUE(patterns_match({"a/**/**/b"}, "a/x/y/z/b"));
    EXPECT_FALSE(patterns_match({"a/**/**/b"}, "a/x/c"));
}
