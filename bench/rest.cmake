# at-rest benchmark
# A connected copy left alone: processor time and wakeups, shown and minimised.
ferrin_add_bench(bench_rest LIBS ferrin_core ferrin_testsupport)
target_compile_definitions(bench_rest PRIVATE AMBREL_FOLDER="$<TARGET_FILE_DIR:Ambrel>")
add_dependencies(bench_rest Ambrel)
