#pragma once

#include "tools/session_report.hpp"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

// A handed-in copy of a project checked against its record: every tracked file's final state, as
// the replay rebuilds it, against the file of the same path in the project under the submission's
// directory, and every file there that the record does not know.

enum class Verdict {
    same,
    differs,
    missing,        // tracked, but not in the submission
    not_in_record,  // in the submission, not tracked
    not_replayed,   // tracked, but the record cannot rebuild it, so it cannot be compared
};
// "same", "differs", "missing from the submission", "not in the record", "cannot be compared".
char const* verdict_name(Verdict verdict);

struct FileCheck {
    std::filesystem::path relative;
    Verdict verdict;
    // For "differs": the line diff from the record's content to the submission's, as stored
    // diffs are written ("= ", "- ", "+ " lines); for "cannot be compared", the reason.
    std::string detail;
};

// The checks in the order of the relative paths. The record's own directories, ".wardlet", and
// ".git" are not part of a submission and are not looked into; symbolic links are not followed
// (one in place of a tracked file differs from it).
std::vector<FileCheck> check_submission(SessionReport const& report,
                                        std::filesystem::path const& submission);

// True when every check says "same".
bool all_same(std::vector<FileCheck> const& checks);

// One line per file, the diffs of those that differ beneath them, and a closing count.
void write_checks(std::vector<FileCheck> const& checks, std::filesystem::path const& submission,
                  std::ostream& out);
