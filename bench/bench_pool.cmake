# The send-data pool against plain new/delete of a send_data_t.
bx_add_bench(bench_pool pool_bench.cpp LIBS bx_records bx_test_support)
