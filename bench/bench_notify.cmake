bx_add_bench(bench_notify notify_bench.cpp LIBS bx_protocol bx_test_support)
