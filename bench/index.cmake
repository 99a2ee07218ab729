# The content index: automaton build, editor changes on tracked files, searches and line diffs.
wardlet_bench(index_bench SOURCES index_bench.cpp heap_counter.cpp LIBS wardlet_index)
