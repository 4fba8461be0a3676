# agent_cost_native_bench: the agent's ceiling and CPU per connection against
# the counting appliance peer. scripts/bench.d/agent_cost runs it beside the
# figures of the real service under Wine (it is not named bench_*, which
# scripts/bench runs on its own).
if(TARGET utm AND TARGET bx_snoop)
  bx_add_bench(agent_cost_native_bench agent_cost_bench.cpp agent_feed.cpp LIBS bx_snoop utm_wire bx_test_support)
  target_compile_definitions(agent_cost_native_bench PRIVATE
    BX_PEER_SCRIPT="${CMAKE_SOURCE_DIR}/tests/e2e/peer.sh"
    BX_UTM_PROGRAM="$<TARGET_FILE:utm>"
    BX_COST_BENCH_DIR="${CMAKE_BINARY_DIR}/agent-cost-peer")
  add_dependencies(agent_cost_native_bench utm)
endif()
