# pdfink: ink measurement of a 200-page browser PDF against the raster approach.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(bench_ink ${CMAKE_CURRENT_SOURCE_DIR}/ink_bench.cc)
  target_link_libraries(bench_ink PRIVATE hvn_pdfink benchmark::benchmark)
  target_compile_definitions(bench_ink PRIVATE PDFINK_BENCH_BROWSER="${HALVERN_BROWSER}")
endif()
