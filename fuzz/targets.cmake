# libFuzzer targets. Library sources are compiled into each target so that
# they carry the fuzzer's coverage instrumentation.
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
set(FUZZ_SOURCES_pdfink
  pdfink/inflate.cc pdfink/pdf_reader.cc pdfink/pdf_scan.cc pdfink/pdf_parser.cc pdfink/pdf_decode.cc pdfink/pdf_xref_streams.cc
  pdfink/ink_interpreter.cc pdfink/ink_paint.cc pdfink/ink_resources.cc pdfink/ink_measure.cc)
set(FUZZ_SOURCES_config
  config/aes.cc config/payload.cc config/paper_sizes.cc config/config_file.cc config/validation.cc
  config/url_host.cc config/host_resolver.cc config/utf8.cc runlog/run_log.cc)

foreach(target pdfink_inflate pdfink_measure config_file config_payload)
  string(REGEX REPLACE "_.*" "" area ${target})
  string(REGEX REPLACE "^[a-z]+_" "${area}_fuzz_" name ${target})
  list(TRANSFORM FUZZ_SOURCES_${area} PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${target}.cc ${sources})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE nlohmann_json::nlohmann_json Threads::Threads)
  target_compile_options(${name} PRIVATE ${FUZZ_FLAGS})
  target_link_options(${name} PRIVATE ${FUZZ_FLAGS})
endforeach()
