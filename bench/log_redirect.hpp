#pragma once

// Runs the registered benchmarks with the monitor's log (standard output) sent to `log_path`,
// while the benchmark report still goes to the original standard output. The parts under
// measurement log every event; a log on the terminal would measure the terminal.
int run_benchmarks_with_log(int argc, char** argv, char const* log_path = "/dev/null");
