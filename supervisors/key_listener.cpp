#include "supervisors/key_listener.hpp"

#include "app/log.hpp"

void KeyListener::start() {
    log_line("[KeyListener] started");
    while (should_run()) {
        KeyEvent event;
        event.type = BaseEvent::Types::KEY_EVENT;
        publish(Event{std::move(event)});
    }
}

void KeyListener::stop() {
    running_.exchange(false);
    log_line("[KeyListener] stopped");
}

void KeyListener::handle(Event) {
    log_line("[KeyListener] handler triggered");
}
