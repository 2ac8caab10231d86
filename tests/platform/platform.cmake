# Platform layer: checksums, conversions, matching, memory, clock, and the
# headless console and keyboard (driven through pipes in child processes).
set(dir ${CMAKE_CURRENT_LIST_DIR})
vk_add_test(platform_test
  ${dir}/checksum_test.cpp
  ${dir}/util_test.cpp
  ${dir}/match_test.cpp
  ${dir}/memory_test.cpp
  ${dir}/clock_test.cpp
  ${dir}/console_test.cpp
  ${dir}/lineinput_test.cpp
)
target_include_directories(platform_test PRIVATE ${dir})
target_link_libraries(platform_test PRIVATE vk_platform)
