#include "monitor_harness.hpp"

#include "support/unix_client.hpp"

#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <stdexcept>

using namespace std::chrono_literals;

MonitorHarness::MonitorHarness() : project_(root_ / "project"), home_(root_ / "home") {
    std::filesystem::create_directories(project_ / ".wardlet");
    std::filesystem::create_directories(home_);
}

std::filesystem::path MonitorHarness::add_tracked(std::string const& name,
                                                  std::string const& content) {
    auto const path = write_file(project_ / name, content);
    struct stat status {};
    ::stat(path.c_str(), &status);
    std::ofstream map(filemap(), std::ios::app);
    map << status.st_ino << ';' << status.st_dev << ';' << path.native() << '\n';
    return path;
}

void MonitorHarness::start() {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{WARDLET_BIN, project_.native()},
        ChildProcess::Options{.env = {{"HOME", home_.native()}}, .cwd = std::nullopt});
    if (!process_->wait_for_output("[VSCodeListener] started\n", 20s)) {
        throw std::runtime_error("monitor did not start:\n" + process_->output());
    }
}

void MonitorHarness::send(std::string const& lines) {
    UnixClient client(kSocket);
    client.send(lines);
}

int MonitorHarness::stop(int signal_number) {
    process_->send_signal(signal_number);
    return process_->wait(20s).value_or(-1);
}

std::string Change::line() const {
    nlohmann::json message = {{"file", file},
                              {"type", type},
                              {"inserted", inserted},
                              {"deletedCount", deleted},
                              {"offset", offset},
                              {"causedByUndoRedo", undo_redo},
                              {"causedByCopyPaste", copy_paste},
                              {"isSaved", saved}};
    return message.dump() + "\n";
}
