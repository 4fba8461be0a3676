# local_route_lookup_ns: one is-local-route test (the snooper's, on every
# opened connection) against full local-route tables.
bx_add_bench(bench_routes routes_bench.cpp LIBS bx_appliance)
