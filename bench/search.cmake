# search benchmarks
ferrin_add_bench(bench_search TIMEOUT 600 LIBS ferrin_net)
