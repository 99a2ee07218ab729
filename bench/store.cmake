wardlet_bench(store_bench SOURCES store_bench.cpp LIBS wardlet_store)
# Where rows go to a real disk when /tmp is a memory file system.
target_compile_definitions(store_bench PRIVATE STORE_BENCH_DISK_DIR="${CMAKE_BINARY_DIR}")
