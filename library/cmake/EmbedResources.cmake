# Raw-data resources of a module, compiled into it.
#
#   qor_embed_resources(<target> [RESOURCES <NAME> <file> ...])
#
# Generates a source file that defines qor::EmbeddedResources(), the table of
# the named files' bytes (names as given; lookups compare them upper-case),
# and adds it to <target>. The module registers the table at start-up with
# platform::RegisterModuleResources. The file is regenerated when a listed
# file changes.
set(QOR_EMBED_RESOURCES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/GenerateResources.cmake)

function(qor_embed_resources target)
  cmake_parse_arguments(ARG "" "" "RESOURCES" ${ARGN})
  list(LENGTH ARG_RESOURCES count)
  math(EXPR odd "${count} % 2")
  if(odd)
    message(FATAL_ERROR "qor_embed_resources: RESOURCES takes NAME file pairs")
  endif()
  set(pairs "")
  set(files "")
  set(i 0)
  while(i LESS count)
    list(GET ARG_RESOURCES ${i} name)
    math(EXPR j "${i} + 1")
    list(GET ARG_RESOURCES ${j} file)
    get_filename_component(file "${file}" ABSOLUTE)
    list(APPEND files "${file}")
    string(APPEND pairs "${name}=${file}|")
    math(EXPR i "${i} + 2")
  endwhile()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${out} -DPAIRS=${pairs} -P ${QOR_EMBED_RESOURCES_SCRIPT}
    DEPENDS ${files} ${QOR_EMBED_RESOURCES_SCRIPT}
    COMMENT "Embedding resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
