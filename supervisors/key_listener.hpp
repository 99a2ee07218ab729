#pragma once

#include "supervisors/supervisor.hpp"

// A key monitor without a key source: while running it publishes empty key events.
class KeyListener : public ISupervisor {
public:
    using ISupervisor::ISupervisor;
    ~KeyListener() override = default;

    void start() override;
    void stop() override;
    void handle(Event event) override;
};
