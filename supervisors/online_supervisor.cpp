#include "supervisors/online_supervisor.hpp"

#include "app/log.hpp"
#include "app/startup_error.hpp"

#include <chrono>
#include <cstdlib>

namespace {

constexpr char const* kExtensionFolder = "undefined_publisher.wardlet-watcher-0.0.1";
// How long a disk change of a document the editor holds waits for the editor's save.
constexpr std::chrono::milliseconds kSaveWaitBound{2000};

std::filesystem::path home_directory() {
    char const* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        log_line("[OnlineSupervisor] error: the environment variable HOME is not set");
        throw StartupError("HOME is not set");
    }
    return home;
}

}  // namespace

OnlineSupervisor::OnlineSupervisor(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env,
                                   std::string socket_path,
                                   std::function<void()> const& before_first_rows)
    : bus_(bus), db_(db), ibuf_(ibuf), env_(env) {
    // Checked first, so that a monitor that cannot run never takes the editor socket.
    home_directory();
    supervisors_.push_back(std::make_unique<FileListener>(bus_, db_, ibuf_, env_));
    supervisors_.push_back(
        std::make_unique<VSCodeListener>(bus_, db_, ibuf_, env_, std::move(socket_path)));
    log_text(
        "[OnlineSupervisor] initialized with following supervisors:\n\t- FileListener\n\t- "
        "VSCodeListener");
    bus_.subscribe(BaseEvent::Types::FILE_EVENT,
                   [this](Event event) { supervisors_[0]->handle(std::move(event)); });
    save_wait_ = std::make_unique<SaveWait>(
        kSaveWaitBound, [this](FileEvent const& event) { bus_.publish(event); });
    bus_.subscribe(BaseEvent::Types::VSCODE_EVENT, [this](Event event) {
        VSCodeEvent const& editor_event = std::get<VSCodeEvent>(event);
        EditorOutcome const outcome{editor_event.filepath,          editor_event.change_type,
                                    editor_event.is_tracked,        editor_event.is_saved,
                                    editor_event.save_matches_disk, editor_event.saved_disk_sha256};
        supervisors_[1]->handle(std::move(event));
        after_editor_event(outcome);
    });
    editor_listener().follow_renames_with(
        [this](std::filesystem::path const& from, std::filesystem::path const& to) {
            follow_editor_rename(from, to);
        });
    editor_listener().follow_first_saves_with(
        [this](std::filesystem::path const& path) { follow_first_save(path); });
    try {
        watch_locations();
    } catch (std::filesystem::filesystem_error const& error) {
        log_line("[OnlineSupervisor] error: cannot prepare {}: {}", error.path1().native(),
                 error.code().message());
        // A start that fails leaves no trace: not the socket, not a row.
        editor_listener().remove_socket_if_ours();
        throw StartupError(error.what());
    } catch (...) {
        editor_listener().remove_socket_if_ours();
        throw;
    }
    // Only now, with the socket owned and every step that can fail passed, the first rows.
    if (before_first_rows) {
        before_first_rows();
    }
    editor_listener().prime();
}

OnlineSupervisor::~OnlineSupervisor() {
    // In this order: the follower's thread parks renames, and the wait's timer settles them with
    // what is still there (no follower by then).
    follower_.reset();
    move_wait_.reset();
}

void OnlineSupervisor::watch_locations() {
    FileListener* listener = &file_listener();
    std::filesystem::path const home = home_directory();
    std::filesystem::path const extension_dir = home / ".vscode" / "extensions" / kExtensionFolder;
    std::vector<std::filesystem::path> backup_dirs{
        home / "Library" / "Application Support" / "Code" / "Backups",
        home / ".config" / "Code" / "Backups"};
    if (char const* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
        backup_dirs.push_back(std::filesystem::path(config) / "Code" / "Backups");
    }
    std::filesystem::path const projs_file =
        home / "Library" / "Application Support" / "Wardlet" / "projs";
    tracked_path_ = env_.rootpath / ".wardlet" / "tracked";

    WatchId const data_wid = listener->watch_creating(
        tracked_path_,
        [this, listener](FileEvent& event) {
            log_line("[FileListener]::handler ProjTracked {}", event.filepath);
            event.handler_type = FileEvent::Handlers::PROJ_TRACKEDPATH;
            listener->store(Event{event});
            pick_up_map_lines(listener);
        },
        false);
    // The database and the log are written there all the time; only the map's changes matter.
    listener->set_aside(data_wid, tracked_path_.parent_path(), tracked_path_.filename().native());
    listener->watch_existing(
        extension_dir,
        [listener](FileEvent& event) {
            log_line("[FileListener]::handler VSCodeConfig");
            event.handler_type = FileEvent::Handlers::VSCODE_CONFIGPATH;
            listener->store(Event{event});
        },
        true);
    // Where the editor keeps its backups: on a Mac, and on Linux.
    for (auto const& backup_dir : backup_dirs) {
        listener->watch_existing(
            backup_dir, [this, listener](FileEvent& event) { handle_backupdir(listener, event); },
            true);
    }
    listener->watch_creating(
        projs_file,
        [listener](FileEvent& event) {
            log_line("[FileListener]::handler WardletConfig");
            event.handler_type = FileEvent::Handlers::WARDLET_CONFIGPATH;
            listener->store(Event{event});
        },
        false);

    filemap_ = parse_filemap();
    for (auto const& [fid, data] : filemap_) {
        count_tracked_path(data.filepath.native());
    }
    sync_tracking(listener, filemap_);
    follow_project(listener);
}

void OnlineSupervisor::start() {
    for (auto& supervisor : supervisors_) {
        supervisor->start();
    }
}

void OnlineSupervisor::stop() {
    for (auto& supervisor : supervisors_) {
        supervisor->stop();
    }
}

FileMap OnlineSupervisor::parse_filemap() {
    return ::parse_filemap(tracked_path_, env_.rootpath);
}

FileListener& OnlineSupervisor::file_listener() {
    return dynamic_cast<FileListener&>(*supervisors_[0]);
}

VSCodeListener& OnlineSupervisor::editor_listener() {
    return dynamic_cast<VSCodeListener&>(*supervisors_[1]);
}
