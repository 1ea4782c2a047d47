# Configuration fuzz targets: the JSON configuration reader and the payload
# decoder. Sources are compiled in so they carry the fuzzer instrumentation.
set(CONFIG_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
set(CONFIG_FUZZ_LIB_SOURCES
  ${CMAKE_SOURCE_DIR}/config/aes.cc
  ${CMAKE_SOURCE_DIR}/config/payload.cc
  ${CMAKE_SOURCE_DIR}/config/paper_sizes.cc
  ${CMAKE_SOURCE_DIR}/config/config_file.cc
  ${CMAKE_SOURCE_DIR}/config/validation.cc
  ${CMAKE_SOURCE_DIR}/config/url_host.cc
  ${CMAKE_SOURCE_DIR}/config/host_resolver.cc
  ${CMAKE_SOURCE_DIR}/config/utf8.cc
  ${CMAKE_SOURCE_DIR}/app/run_log.cc)

foreach(target file payload)
  add_executable(config_fuzz_${target}
    ${CMAKE_CURRENT_SOURCE_DIR}/config_${target}.cc ${CONFIG_FUZZ_LIB_SOURCES})
  target_include_directories(config_fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(config_fuzz_${target} PRIVATE nlohmann_json::nlohmann_json Threads::Threads)
  target_compile_options(config_fuzz_${target} PRIVATE ${CONFIG_FUZZ_FLAGS})
  target_link_options(config_fuzz_${target} PRIVATE ${CONFIG_FUZZ_FLAGS})
endforeach()
