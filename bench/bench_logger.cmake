bx_add_bench(bench_logger logger_bench.cpp LIBS BXLogger)
