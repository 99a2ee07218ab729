#pragma once

#include "app/log.hpp"

#include <gtest/gtest.h>

#include <string>

// The monitor's log lines written between the two calls, read from standard output. The log is
// written by its own thread, so both ends wait for the lines queued before them.
inline void capture_log() {
    log_flush();
    testing::internal::CaptureStdout();
}
inline std::string captured_log() {
    log_flush();
    return testing::internal::GetCapturedStdout();
}
