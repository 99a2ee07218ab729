#include "sample_session.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

QuietStdout::QuietStdout() {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int const devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);
}

QuietStdout::~QuietStdout() {
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}

ScratchDir::ScratchDir(fs::path const& parent, std::string const& prefix) {
    std::string pattern = (parent / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror(pattern.c_str());
        std::abort();
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

FileEvent sample_file_event() {
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.timestamp = now_timestamp();
    event.filepath = SAMPLE_FILE;
    event.fid = SAMPLE_FID;
    event.action = FileActions::Modified;
    event.directory = "/home/dev/proj/src";
    event.diff = "- int a = 1;\n+ int a = 2;\n";
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    event.incident_type = Incident::Types::FAST_INSERTION;
    return event;
}

VSCodeEvent sample_vscode_event() {
    VSCodeEvent event;
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.timestamp = now_timestamp();
    event.filepath = SAMPLE_FILE;
    event.fid = SAMPLE_FID;
    event.change_type = "change";
    event.inserted = "return parse_expression(tokens);";
    event.deleted = 3;
    event.incident_type = Incident::Types::NONE;
    return event;
}

std::string change_message(std::string_view file, std::uint64_t offset, std::uint64_t deleted,
                           std::string_view inserted) {
    return nlohmann::ordered_json{{"file", file},
                                  {"type", "change"},
                                  {"inserted", inserted},
                                  {"deletedCount", deleted},
                                  {"offset", offset},
                                  {"causedByUndoRedo", false},
                                  {"causedByCopyPaste", false},
                                  {"isSaved", false}}
        .dump();
}

std::string sample_source(std::size_t size, std::string_view call) {
    std::string text;
    while (text.size() < size) {
        text += "    int value_" + std::to_string(text.size()) + " = ";
        text += call;
        text += ";\n";
    }
    return text;
}

void next_edit(std::mt19937& random, EditMix const& mix, std::string& doc, std::size_t& cursor,
               VSCodeEvent& event) {
    unsigned const roll = random() % 1000;
    event.inserted.clear();
    event.deleted = 0;
    event.is_saved = event.is_copy_paste = event.internal_copy = event.is_undo_redo = false;
    if (roll < 5) {
        cursor = random() % doc.size();
    }
    if (roll < 150 && cursor > 0) {
        event.deleted = 1;
        cursor -= 1;
        event.is_undo_redo = roll < mix.undo_below;
    } else if (roll < mix.paste_below) {
        // From anywhere but the document's last 300 bytes.
        event.inserted = doc.substr(random() % (doc.size() - 300), mix.paste_size);
        event.is_copy_paste = mix.mark_pastes;
        event.internal_copy = roll < mix.internal_copy_below;
    } else if (roll < mix.save_below) {
        event.is_saved = true;
    } else {
        event.inserted = std::string(1, static_cast<char>('a' + roll % 26));
    }
    event.offset = event.is_saved ? ~std::uint64_t{0} : cursor;
    if (!event.is_saved) {
        doc.replace(cursor, event.deleted, event.inserted);
        cursor += event.inserted.size();
    }
}

std::string library_source(std::size_t size) {
    std::vector<std::filesystem::path> files;
    for (auto const& entry : std::filesystem::recursive_directory_iterator("/usr/include/c++/12")) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::string all;
    for (auto const& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        all += content.str();
        if (all.size() >= size) {
            break;
        }
    }
    return all;
}
