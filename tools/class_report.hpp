#pragma once

#include "tools/report_render.hpp"
#include "tools/session_report.hpp"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

// The records of a whole class: one page per subject, an index page with a row per subject, and
// one ProgSnap2 export of every subject's session. Records are read one at a time, so that the
// memory needed is that of the largest one.

// How a subject is named: by the folder of its record (the project directory, or the directory
// that holds the database, ".wardlet" passed over), or by the database file's name without its
// extension (hand-ins collected as ann.sqlite3, bob.sqlite3).
enum class SubjectFrom { folder, file };

struct ClassOptions {
    std::filesystem::path out_dir;
    std::vector<std::filesystem::path> records;  // project directories or database files
    SubjectFrom subject_from = SubjectFrom::folder;
    BulkThreshold bulk;
    TimeFormat times;
};

// One row of the index page.
struct SubjectSummary {
    std::string subject;
    std::filesystem::path record;
    std::string page;   // the subject's page, beside index.html; empty when the record is unread
    std::string error;  // why the record could not be read
    std::size_t files = 0;
    std::size_t changes = 0;
    std::size_t final_size = 0;
    OriginCounts shares{};
    std::size_t pastes = 0;
    std::size_t bulk = 0;
    std::size_t internal_copies = 0;
    std::size_t fast_insertions = 0;
    std::size_t sessions = 0;
    std::chrono::milliseconds active{0};
    std::size_t not_replayed = 0;
};

// The project a record belongs to, for paths inside it: `given` when a tracked file lies in it,
// otherwise the deepest directory that holds every tracked file (a hand-in's database names the
// files where the student had them).
std::filesystem::path project_of(SessionRecord const& record,
                                 std::vector<std::filesystem::path> const& tracked,
                                 std::filesystem::path const& given);

// Writes OUT_DIR/index.html, a page per subject and OUT_DIR/progsnap2/. A record that cannot be
// read gets a row saying why; the others go on. Progress and problems go to `log`. Returns the
// rows of the index.
std::vector<SubjectSummary> write_class(ClassOptions const& options, std::ostream& log);
