wardlet_bench(files_bench SOURCES files_bench.cpp LIBS wardlet_files)
