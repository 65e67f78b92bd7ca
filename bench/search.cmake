# search benchmarks
