#include "app/convert.hpp"
#include "index/insertion_buffer.hpp"

#include <dtl/dtl.hpp>

#include <vector>

int InsertionBuffer::compare_filecontent(std::filesystem::path const& path,
                                         std::string const& text) const {
    std::lock_guard lock(mutex_);
    auto const it = files_.find(path);
    if (it == files_.end()) {
        return 0;
    }
    // std::string compares as unsigned bytes, a proper prefix first.
    int const order = it->second.buf.compare(text);
    return (order > 0) - (order < 0);
}

std::string InsertionBuffer::diff_filecontent(std::filesystem::path const& path,
                                              std::string const& text) const {
    return get_diff_per_line(path, text);
}

std::string InsertionBuffer::get_diff_per_line(std::filesystem::path const& path,
                                               std::string const& text) const {
    std::string old_content;
    {
        // Only the copy is taken under the lock; the diff may take long and editors must not wait.
        std::lock_guard lock(mutex_);
        auto const it = files_.find(path);
        if (it == files_.end()) {
            return {};
        }
        old_content = it->second.buf;
    }
    return line_diff(old_content, text);
}

std::string InsertionBuffer::line_diff(std::string const& old_content, std::string const& text) {
    std::vector<std::string> const old_lines = split_lines(old_content);
    std::vector<std::string> const new_lines = split_lines(text);
    dtl::Diff<std::string, std::vector<std::string>> diff(old_lines, new_lines);
    diff.compose();

    auto const script = diff.getSes().getSequence();
    std::string rendered;
    for (auto const& [line, info] : script) {
        switch (info.type) {
            case dtl::SES_COMMON:
                rendered.append("= ").append(line).push_back('\n');
                break;
            case dtl::SES_DELETE:
                rendered.append("- ").append(line).push_back('\n');
                break;
            case dtl::SES_ADD:
                rendered.append("+ ").append(line).push_back('\n');
                break;
            default:
                break;
        }
    }
    return rendered;
}
