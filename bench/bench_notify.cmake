bx_add_bench(bench_notify notify_bench.cpp LIBS bx_packet bx_des)
