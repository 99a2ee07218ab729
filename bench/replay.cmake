wardlet_bench(replay_bench SOURCES replay_bench.cpp LIBS wardlet_tools)
# The recorded database lies on a real disk, as a project's does.
target_compile_definitions(replay_bench PRIVATE REPLAY_BENCH_DISK_DIR="${CMAKE_BINARY_DIR}")
