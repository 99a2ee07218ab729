# The editor channel: parsing change messages, framing a connection's bytes, and whole messages
# through a real socket to the bus.
wardlet_bench(editor_bench SOURCES editor_bench.cpp LIBS wardlet_editor wardlet_tools)
