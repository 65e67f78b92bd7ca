# transfer benchmarks
# A large file between two peers on loopback beside an nc copy of it. 100 MiB
# by default; FERRIN_BENCH_TRANSFER_MIB=1024 runs the 1 GiB case.
add_executable(bench_transfer bench_transfer.cpp)
target_link_libraries(bench_transfer PRIVATE ferrin_core ferrin_net)
ferrin_warnings(bench_transfer)
add_test(NAME bench_transfer COMMAND bench_transfer)
set_tests_properties(bench_transfer PROPERTIES
    LABELS bench
    TIMEOUT 600
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
