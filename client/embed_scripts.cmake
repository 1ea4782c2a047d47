# Writes every scripts/*.js file as `extern const char* const kScript_<name>`.
set(content "// Generated from client/scripts/*.js\n#include \"client/scripts.h\"\n\n")
set(files ${SCRIPTS})
foreach(f ${files})
  get_filename_component(name ${f} NAME_WE)
  string(MAKE_C_IDENTIFIER ${name} ident)
  file(READ ${f} text)
  # Raw string with a delimiter that no script uses.
  string(APPEND content "const char* const kScript_${ident} = R\"hvnjs(${text})hvnjs\";\n")
endforeach()
file(WRITE ${OUT}.tmp "${content}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.tmp ${OUT})
