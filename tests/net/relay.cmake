# The delay-and-loss relay that network scenarios and benchmarks put between
# namespaces (a test tool, not a test: scripts run it).
add_executable(netrelay ${CMAKE_CURRENT_LIST_DIR}/relay.cpp)
