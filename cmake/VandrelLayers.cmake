# The library is built as layers, each a static library that links only the layers below it:
#
#   front ends (cli/, python/, mex/) -> api -> tiling -> host -> core -> numeric
#   io beside them, knowing only the foundation headers (points and errors)
#
# Each layer compiles against an include root of its own, a folder of the build tree holding
# links to the layer's own headers only; a layer sees its own root and, through the libraries
# it links, those of the layers below. A file that includes a header of a layer above it does
# not compile.

# vandrel_layer(<target> HEADERS <folder or header>... [SOURCES <file>...] [DEPENDS <target>...])
#   HEADERS  folders of the tree (core) linked as <root>/core, and installed headers
#            (include/vandrel/point.h, or an absolute path in the build tree) linked as
#            <root>/vandrel/point.h
#   SOURCES  the layer's sources; none makes a header-only (INTERFACE) layer
#   DEPENDS  the layers below that it uses
function(vandrel_layer target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "HEADERS;SOURCES;DEPENDS")
  set(root "${PROJECT_BINARY_DIR}/layers/${target}")
  file(REMOVE_RECURSE "${root}")
  file(MAKE_DIRECTORY "${root}/vandrel")
  foreach(entry IN LISTS arg_HEADERS)
    if(IS_ABSOLUTE "${entry}")
      set(source "${entry}")
    else()
      set(source "${PROJECT_SOURCE_DIR}/${entry}")
    endif()
    if(IS_DIRECTORY "${source}")
      get_filename_component(name "${entry}" NAME)
      file(CREATE_LINK "${source}" "${root}/${name}" SYMBOLIC)
    else()
      get_filename_component(name "${entry}" NAME)
      file(CREATE_LINK "${source}" "${root}/vandrel/${name}" SYMBOLIC)
    endif()
  endforeach()

  if(arg_SOURCES)
    add_library(${target} STATIC ${arg_SOURCES})
    vandrel_target_options(${target})
    set(scope PUBLIC)
  else()
    add_library(${target} INTERFACE)
    target_compile_features(${target} INTERFACE cxx_std_20)
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope} "$<BUILD_INTERFACE:${root}>"
                                                "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  if(arg_DEPENDS)
    target_link_libraries(${target} ${scope} ${arg_DEPENDS})
  endif()
endfunction()
