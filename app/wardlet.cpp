#include "app/wardlet.hpp"

#include "app/log.hpp"
#include "app/private_files.hpp"

#include <chrono>
#include <utility>

namespace {

// How long the teardown waits for received events to be stored.
constexpr std::chrono::seconds kDrainBound{5};
// The longest a stored row waits for its commit while events keep arriving.
constexpr std::chrono::milliseconds kGroupCommitBound{20};

}  // namespace

Wardlet::Wardlet(std::filesystem::path const& rootpath, bool use_logfile, std::string socket_path)
    : env_(detect_env(rootpath, use_logfile)) {
    log_text(env_banner(env_));
    bus_ = std::make_unique<EventBus>();
    // A new database holds the programmer's text: its owner's alone, and so are its journals.
    create_private_file(env_.dbpath);
    db_ = std::make_unique<EventDB>(env_.dbpath.native());
    // A burst of changes shares one commit; a lone change is committed as soon as the bus is idle.
    db_->enable_group_commit(kGroupCommitBound);
    bus_->set_idle_hook([db = db_.get()] { db->commit_soon(); });
    ibuf_ = std::make_unique<InsertionBuffer>();
    ibuf_->continue_sequence(db_->last_mirror_seq());
    supervisor_ =
        std::make_unique<OnlineSupervisor>(*bus_, *db_, *ibuf_, env_, std::move(socket_path));
}

Wardlet::~Wardlet() {
    if (supervisor_) {
        stop();
        // Handlers still find every component alive while the bus empties; the editor
        // connections then hand over the lines they have already received.
        bus_->drain(kDrainBound);
        supervisor_->editor_listener().close_connections();
        // Disk changes still waiting for a save that can no longer come are judged without it.
        supervisor_->judge_waiting_now();
        if (!bus_->drain(kDrainBound)) {
            log_line("[Wardlet] events still queued at shutdown were not stored");
        }
        supervisor_->editor_listener().remove_socket_if_ours();
        db_->commit_pending();
    }
    if (bus_) {
        bus_->stop();
    }
    supervisor_.reset();
    ibuf_.reset();
    db_.reset();
    bus_.reset();
}

void Wardlet::start() {
    supervisor_->start();
}

void Wardlet::stop() {
    if (!stopping_.exchange(true)) {
        supervisor_->stop();
    }
}
