# The whole monitor in one process: a client on the editor socket, rows committed to a database
# on disk, read back by a second connection.
wardlet_bench(monitor_bench SOURCES monitor_bench.cpp LIBS wardlet_application wardlet_tools SQLite::SQLite3)
# Where the project goes when /tmp is a memory file system.
target_compile_definitions(monitor_bench PRIVATE MONITOR_BENCH_DISK_DIR="${CMAKE_BINARY_DIR}")
# The monitor on projects of thousands of tracked files: start-up and cost per keystroke.
wardlet_bench(scale_bench SOURCES scale_bench.cpp LIBS wardlet_application wardlet_tools SQLite::SQLite3)
target_compile_definitions(scale_bench PRIVATE SCALE_BENCH_DISK_DIR="${CMAKE_BINARY_DIR}")
