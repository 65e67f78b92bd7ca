# search benchmarks
ferrin_add_bench(bench_search LIBS ferrin_net ferrin_directory)
