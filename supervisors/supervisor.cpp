#include "supervisors/supervisor.hpp"

#include <type_traits>

ISupervisor::ISupervisor(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env)
    : env_(env), ibuf_(ibuf), bus_(bus), db_(db) {}

void ISupervisor::stop() {
    running_.exchange(false);
}

void ISupervisor::publish(Event event) {
    bus_.publish_event(std::move(event));
}

bool ISupervisor::store(Event event) {
    std::visit(
        [this](auto& record) {
            using Record = std::decay_t<decltype(record)>;
            if constexpr (!std::is_same_v<Record, KeyEvent>) {
                db_.store(record);
            }
        },
        event);
    return true;
}
