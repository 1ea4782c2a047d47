# pdfink: ink measurement of a 200-page browser PDF against the raster approach.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(bench_ink ${CMAKE_CURRENT_SOURCE_DIR}/ink_bench.cc)
  target_link_libraries(bench_ink PRIVATE hvn_pdfink benchmark::benchmark)
  target_compile_definitions(bench_ink PRIVATE PDFINK_BENCH_BROWSER="${HALVERN_BROWSER}")
endif()
# Hostile files: time and peak memory of one --ink-measure= run each.
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_FOUND)
  add_custom_target(bench_hostile_pdfs
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/hostile_pdfs.py run $<TARGET_FILE:halvern>
    USES_TERMINAL)
  add_dependencies(bench_hostile_pdfs halvern)
endif()
