# transfer benchmarks
# A large file between two peers on loopback beside an nc copy of it. 100 MiB
# by default; FERRIN_BENCH_TRANSFER_MIB=1024 runs the 1 GiB case.
ferrin_add_bench(bench_transfer TIMEOUT 600 LIBS ferrin_core ferrin_net ENVIRONMENT QT_QPA_PLATFORM=offscreen)
