# search benchmarks; the floods show the search window
ferrin_add_bench(bench_search TIMEOUT 1800 LIBS ferrin_windows)
