# The libraries of a Windows build, under the names the Linux build's
# find_package calls give them, so the layers' CMake files link the same
# targets on both:
# - zlib: Debian's MinGW-w64 package (libz-mingw-w64-dev), static;
# - pugixml: built here from the source package Debian ships
#   (scripts/setup fetches it into build-windows-deps/);
# - SimpleIni, CLI11, nlohmann-json: header-only Debian packages. Their
#   headers are reached through a folder of links in the build tree, never
#   through /usr/include itself, which holds the Linux C library's headers.
set(QOR_WINDOWS_DEPS ${PROJECT_SOURCE_DIR}/build-windows-deps CACHE PATH "Sources of the Windows build's libraries")

set(_headers ${CMAKE_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${_headers})
foreach(entry SimpleIni.h ConvertUTF.h CLI nlohmann)
  if(EXISTS /usr/include/${entry} AND NOT EXISTS ${_headers}/${entry})
    file(CREATE_LINK /usr/include/${entry} ${_headers}/${entry} SYMBOLIC)
  endif()
endforeach()
set(SIMPLEINI_INCLUDE_DIR ${_headers} CACHE PATH "" FORCE)

if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_headers})
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_headers})
endif()

file(GLOB _pugixml ${QOR_WINDOWS_DEPS}/pugixml-*/src/pugixml.cpp)
if(NOT _pugixml)
  message(FATAL_ERROR "pugixml's sources are not in ${QOR_WINDOWS_DEPS}: run scripts/setup")
endif()
list(GET _pugixml 0 _pugixml)
get_filename_component(_pugixml_dir ${_pugixml} DIRECTORY)
add_library(qor_pugixml STATIC ${_pugixml})
target_include_directories(qor_pugixml SYSTEM PUBLIC ${_pugixml_dir})
add_library(pugixml::pugixml ALIAS qor_pugixml)
set(pugixml_FOUND TRUE)

find_package(ZLIB REQUIRED)

# find_package of the targets made above finds these (empty) package files.
set(_packages ${CMAKE_BINARY_DIR}/cmake-packages)
foreach(package pugixml CLI11 nlohmann_json)
  string(TOLOWER ${package} _lower)
  file(WRITE ${_packages}/${package}/${_lower}-config.cmake "# made by cmake/WindowsDependencies.cmake\n")
  set(${package}_DIR ${_packages}/${package} CACHE PATH "" FORCE)
endforeach()
