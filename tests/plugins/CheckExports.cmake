# Fails unless the dynamic symbol table of LIBRARY defines exactly the eight
# plug-in exports.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected CreatePluginInstance ExecutePluginCommand FreePluginInstance GetLogEx GetModuleInfo GetOptionsDialog
    ProcessData ShowOptionsDialog)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "Defined dynamic symbols of ${LIBRARY}:\n  ${names}\nexpected:\n  ${expected}")
endif()
message(STATUS "exactly the eight exports")
