#include "events/records.hpp"

#include <fmt/format.h>

BaseEvent::operator std::string() const {
    return fmt::format("<{}> filepath={}", type, filepath);
}

FileEvent::operator std::string() const {
    return fmt::format("{} wid={} action={}", BaseEvent::operator std::string(), wid,
                       action2str(action));
}

BaseEvent const& base_of(Event const& event) {
    return std::visit([](BaseEvent const& record) -> BaseEvent const& { return record; }, event);
}
