# pdfink fuzz targets: the library sources are compiled into each target
# so that they carry the fuzzer's coverage instrumentation.
set(PDFINK_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
set(PDFINK_FUZZ_LIB_SOURCES
  ${CMAKE_SOURCE_DIR}/pdfink/inflate.cc
  ${CMAKE_SOURCE_DIR}/pdfink/pdf_reader.cc
  ${CMAKE_SOURCE_DIR}/pdfink/pdf_parser.cc
  ${CMAKE_SOURCE_DIR}/pdfink/pdf_decode.cc
  ${CMAKE_SOURCE_DIR}/pdfink/pdf_xref_streams.cc
  ${CMAKE_SOURCE_DIR}/pdfink/ink_interpreter.cc
  ${CMAKE_SOURCE_DIR}/pdfink/ink_paint.cc
  ${CMAKE_SOURCE_DIR}/pdfink/ink_resources.cc
  ${CMAKE_SOURCE_DIR}/pdfink/ink_measure.cc)

foreach(target inflate measure)
  add_executable(pdfink_fuzz_${target}
    ${CMAKE_CURRENT_SOURCE_DIR}/pdfink_${target}.cc ${PDFINK_FUZZ_LIB_SOURCES})
  target_include_directories(pdfink_fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(pdfink_fuzz_${target} PRIVATE ${PDFINK_FUZZ_FLAGS})
  target_link_options(pdfink_fuzz_${target} PRIVATE ${PDFINK_FUZZ_FLAGS})
endforeach()
