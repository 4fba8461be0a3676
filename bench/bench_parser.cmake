# parse_per_s: acknowledgements parsed per second, each by a new parser that
# reads its settings as the listener's parser does.
bx_add_bench(bench_parser parser_bench.cpp LIBS bx_protocol bx_test_support)
