# A long editing session against the content index: recall of past text, keystroke cost, memory.
wardlet_bench(index_session_bench SOURCES index_session_bench.cpp heap_counter.cpp LIBS wardlet_index)
