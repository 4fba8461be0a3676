# parse_per_s: acknowledgements parsed per second as the listener parses them
# (a parser made from the manager's settings, read once at start).
bx_add_bench(bench_parser parser_bench.cpp LIBS bx_protocol bx_test_support)
