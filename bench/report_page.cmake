# The reviewer's page of a 1M-row record opened by a real Chromium.
find_program(CHROMIUM_EXECUTABLE chromium)
wardlet_bench(report_page_bench SOURCES report_page_bench.cpp LIBS wardlet_tools)
target_compile_definitions(report_page_bench PRIVATE
                           REPORT_BENCH_DISK_DIR="${CMAKE_BINARY_DIR}"
                           REPORT_BIN="$<TARGET_FILE:wardlet-report>"
                           CHROMIUM_BIN="$<$<BOOL:${CHROMIUM_EXECUTABLE}>:${CHROMIUM_EXECUTABLE}>")
add_dependencies(report_page_bench wardlet-report)
