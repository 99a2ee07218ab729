#include "app/wardlet.hpp"

#include "app/log.hpp"
#include "app/private_files.hpp"
#include "store/recovery_file.hpp"

#include <chrono>
#include <utility>

namespace {

// How long the teardown waits for received events to be stored.
constexpr std::chrono::seconds kDrainBound{5};

}  // namespace

Wardlet::Wardlet(std::filesystem::path const& rootpath, bool use_logfile, WardletSettings settings)
    : env_(detect_env(rootpath, use_logfile)) {
    log_text(env_banner(env_));
    bus_ = std::make_unique<EventBus>();
    // A new database holds the programmer's text: its owner's alone, and so are its journals.
    create_private_file(env_.dbpath);
    db_ = std::make_unique<EventDB>(env_.dbpath.native());
    // A burst of changes shares one commit; a lone change is committed as soon as the bus is idle.
    if (settings.group_commit) {
        db_->enable_group_commit(*settings.group_commit);
        db_->commit_with(*bus_);
    }
    ibuf_ = std::make_unique<InsertionBuffer>();
    ibuf_->continue_sequence(db_->last_mirror_seq());
    // Rows an earlier run could not write come first, before any row of this run, but only once
    // this monitor owns the editor socket: a monitor that cannot start writes nothing. Their
    // places in the mirror's order count among those the new ones follow.
    supervisor_ = std::make_unique<OnlineSupervisor>(
        *bus_, *db_, *ibuf_, env_, std::move(settings.socket_path), [this] {
            db_->begin_writing();
            import_unwritten(*db_, env_.datapath);
            ibuf_->continue_sequence(db_->last_mirror_seq());
        });
}

Wardlet::~Wardlet() {
    finish();
}

int Wardlet::finish() {
    if (finished_) {
        return 0;
    }
    finished_ = true;
    int status = 0;
    if (supervisor_) {
        stop();
        // Every event on its way must find its place, even while the database cannot be written.
        db_->stop_limiting();
        // Handlers still find every component alive while the bus empties; the editor
        // connections then hand over the lines they have already received.
        bus_->drain(kDrainBound);
        supervisor_->editor_listener().close_connections();
        // Disk changes still waiting for a save that can no longer come are judged without it.
        supervisor_->judge_waiting_now();
        if (!bus_->drain(kDrainBound)) {
            log_line("[Wardlet] events still queued at shutdown were not stored");
            status = UNWRITTEN_ROWS_STATUS;
        }
        supervisor_->editor_listener().remove_socket_if_ours();
    }
    if (bus_) {
        bus_->stop();
    }
    supervisor_.reset();
    ibuf_.reset();
    if (db_) {
        EventDB::Unwritten const unwritten = db_->close();
        if (unwritten.rows > 0) {
            log_text(EventDB::unwritten_line(unwritten));
            status = UNWRITTEN_ROWS_STATUS;
        }
    }
    {
        std::lock_guard lock(db_mutex_);
        db_.reset();
    }
    bus_.reset();
    return status;
}

void Wardlet::hurry() {
    std::lock_guard lock(db_mutex_);
    if (db_) {
        log_line("[Wardlet] received another signal: rows not written yet go to a recovery file");
        db_->hurry();
    }
}

void Wardlet::start() {
    log_line("[OnlineSupervisor] starting...");
    supervisor_->start();
}

void Wardlet::stop() {
    std::lock_guard lock(stop_mutex_);
    if (!stopping_) {
        stopping_ = true;
        supervisor_->stop();
    }
}
