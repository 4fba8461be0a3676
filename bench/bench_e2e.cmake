# e2e_native_bench: records through the Snooper and the connection manager to
# the appliance peer. scripts/bench.d/e2e_wine runs it, so that its figure is
# printed beside the Wine figure it matches (it is not named bench_*, which
# scripts/bench runs on its own).
if(TARGET utm AND TARGET bx_snoop)
  bx_add_bench(e2e_native_bench e2e_bench.cpp agent_feed.cpp LIBS bx_snoop bx_test_support)
  target_compile_definitions(e2e_native_bench PRIVATE
    BX_PEER_SCRIPT="${CMAKE_SOURCE_DIR}/tests/e2e/peer.sh"
    BX_UTM_PROGRAM="$<TARGET_FILE:utm>"
    BX_E2E_BENCH_DIR="${CMAKE_BINARY_DIR}/e2e-bench-peer")
  add_dependencies(e2e_native_bench utm)
endif()
