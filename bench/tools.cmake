wardlet_bench(tools_bench SOURCES tools_bench.cpp LIBS wardlet_tools)
