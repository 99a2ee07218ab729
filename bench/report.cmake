wardlet_bench(report_bench SOURCES report_bench.cpp LIBS wardlet_tools)
# The recorded database lies on a real disk, as a project's does.
target_compile_definitions(report_bench PRIVATE REPORT_BENCH_DISK_DIR="${CMAKE_BINARY_DIR}")
# The class benchmark runs the tool itself.
target_compile_definitions(report_bench PRIVATE REPORT_BIN="$<TARGET_FILE:wardlet-report>")
add_dependencies(report_bench wardlet-report)
