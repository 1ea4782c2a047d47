# The HTTP service against batch mode: requests per second and latency.
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_FOUND)
  add_custom_target(bench_service
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/service/run.py $<TARGET_FILE:halvern>
    USES_TERMINAL)
  add_dependencies(bench_service halvern)
endif()
