# Many conversions: cold runs, halvern --batch and a warm Puppeteer browser,
# pages per second, CPU and memory per page.
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_FOUND)
  add_custom_target(bench_batch
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/batch/run.py $<TARGET_FILE:halvern>
    USES_TERMINAL)
  add_dependencies(bench_batch halvern)
endif()
