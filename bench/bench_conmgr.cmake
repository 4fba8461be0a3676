# The connection manager's send path over loopback against a raw sendto loop,
# enqueue-to-peer latency, and memory per notification awaiting an answer.
bx_add_bench(bench_conmgr conmgr_bench.cpp LIBS bx_appliance bx_test_support)
