#include "tools/submission_check.hpp"

#include "tools/report_render.hpp"

#include <fmt/format.h>
#include <dtl/dtl.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Directories of a project that hold no handed-in work.
bool skipped_directory(fs::path const& name) {
    return name == ".wardlet" || name == ".git";
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t const end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

std::string line_diff(std::string_view from, std::string_view to) {
    dtl::Diff<std::string_view, std::vector<std::string_view>> diff(lines_of(from), lines_of(to));
    diff.compose();
    std::string out;
    for (auto const& [line, info] : diff.getSes().getSequence()) {
        out += info.type == dtl::SES_ADD ? "+ " : info.type == dtl::SES_DELETE ? "- " : "= ";
        out += line;
        out += '\n';
    }
    if (!from.empty() && !to.empty() && (from.back() == '\n') != (to.back() == '\n')) {
        out += to.back() == '\n' ? "+ (a line feed at the end)\n" : "- (a line feed at the end)\n";
    }
    return out;
}

std::string read_all(fs::path const& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ok = !in.bad() && in.is_open();
    return text;
}

}  // namespace

char const* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::same:
            return "same";
        case Verdict::differs:
            return "differs";
        case Verdict::missing:
            return "missing from the submission";
        case Verdict::not_in_record:
            return "not in the record";
        case Verdict::not_replayed:
            return "cannot be compared";
    }
    return "";
}

std::vector<FileCheck> check_submission(SessionReport const& report, fs::path const& submission) {
    std::map<fs::path, FileCheck> checks;
    for (FileReport const& file : report.files) {
        fs::path const handed_in = submission / file.relative;
        std::error_code error;
        fs::file_status const status = fs::symlink_status(handed_in, error);
        FileCheck check{file.relative, Verdict::same, {}};
        if (!file.not_replayed.empty()) {
            check = {file.relative, Verdict::not_replayed, file.not_replayed};
        } else if (!fs::exists(status)) {
            check.verdict = Verdict::missing;
        } else if (!fs::is_regular_file(status)) {
            check = {file.relative, Verdict::differs,
                     fs::is_symlink(status) ? "- (the file)\n+ (a symbolic link)\n"
                                            : "- (the file)\n+ (no regular file)\n"};
        } else {
            bool ok = false;
            std::string const content = read_all(handed_in, ok);
            if (!ok) {
                check = {file.relative, Verdict::differs, "+ (the file cannot be read)\n"};
            } else if (content != file.final_content) {
                check = {file.relative, Verdict::differs, line_diff(file.final_content, content)};
            }
        }
        checks.emplace(file.relative, std::move(check));
    }
    std::error_code error;
    fs::recursive_directory_iterator it(submission, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::directory_entry const& entry = *it;
        if (entry.is_directory() && !entry.is_symlink() &&
            skipped_directory(entry.path().filename())) {
            it.disable_recursion_pending();
            continue;
        }
        if (entry.is_directory()) {
            continue;
        }
        fs::path const relative = entry.path().lexically_relative(submission);
        if (!checks.contains(relative)) {
            checks.emplace(relative, FileCheck{relative, Verdict::not_in_record, {}});
        }
    }
    std::vector<FileCheck> list;
    for (auto& [path, check] : checks) {
        list.push_back(std::move(check));
    }
    return list;
}

bool all_same(std::vector<FileCheck> const& checks) {
    return std::all_of(checks.begin(), checks.end(),
                       [](FileCheck const& check) { return check.verdict == Verdict::same; });
}

void write_checks(std::vector<FileCheck> const& checks, fs::path const& submission,
                  std::ostream& out) {
    out << fmt::format("Submission {} against its record\n", submission.native());
    std::size_t same = 0;
    for (FileCheck const& check : checks) {
        same += check.verdict == Verdict::same ? 1 : 0;
        out << fmt::format("  {:<28} {}\n", verdict_name(check.verdict),
                           printable(check.relative.native()));
        if (check.verdict == Verdict::not_replayed) {
            out << fmt::format("      {}\n", check.detail);
        }
        if (check.verdict != Verdict::differs) {
            continue;
        }
        for (DiffLine const& line : condensed_diff(check.detail, 2)) {
            if (line.kind == ' ') {
                out << fmt::format("      ... {}\n",
                                   count_of(line.gap, "unchanged line", "unchanged lines"));
            } else {
                out << fmt::format("      {} {}\n", line.kind == '=' ? ' ' : line.kind,
                                   printable(line.text));
            }
        }
    }
    if (checks.empty()) {
        out << "No tracked files and no files in the submission.\n";
    } else if (same == checks.size()) {
        out << fmt::format("All {} are the same as in the record.\n",
                           count_of(checks.size(), "file", "files"));
    } else {
        out << fmt::format("{} of {} not the same as in the record.\n", checks.size() - same,
                           count_of(checks.size(), "file is", "files are"));
    }
}
