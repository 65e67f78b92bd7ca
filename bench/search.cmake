# search benchmarks
add_executable(bench_search bench_search.cpp)
target_link_libraries(bench_search PRIVATE ferrin_net)
ferrin_warnings(bench_search)
add_test(NAME bench_search COMMAND bench_search)
set_tests_properties(bench_search PROPERTIES LABELS bench TIMEOUT 120)
