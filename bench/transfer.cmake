# transfer benchmarks
