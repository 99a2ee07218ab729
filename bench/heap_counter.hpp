#pragma once

// Live heap bytes of the whole program, counted through the global allocation functions, which
// the benchmark that links heap_counter.cpp replaces. Allocations made before main are counted.
long long heap_now();
