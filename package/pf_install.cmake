# pf_install(NAME [DEPENDS "PACKAGE [COMPONENTS NAMES...]"...]): adds the library NAME to the
# installed package. One call beside the library's add_library() is all it
# takes:
#
#   - the library itself (for a static library) goes to lib/, and the package
#     exports it as Placefinder::NAME;
#   - every header of the library's folder goes, flat, to include/placefinder,
#     and the installed target's include directory is include/, so users write
#     #include <placefinder/LocationDetector.h> (the headers include each
#     other by their own names, which the compiler finds beside them); the
#     folder's own include directories stay for the build tree only;
#   - each DEPENDS entry becomes a find_dependency(PACKAGE COMPONENTS ...) call
#     in the package configuration, so that users' find_package() finds what
#     the library links (one call per package, with the components that all
#     libraries named for it).
#
# Static libraries are built as position-independent code so that they can go
# into shared objects (the Python module, users' own shared libraries). GCC
# would then treat their global functions as interposable and stop inlining
# them into each other; nothing can interpose a function of a static library,
# so -fno-semantic-interposition keeps the code as fast as before.
#
# The headers are collected when CMake runs; a header added later is picked up
# at the next build (CONFIGURE_DEPENDS). Two libraries may not install headers
# of the same name, since they share one folder.

include(GNUInstallDirs)
set(PF_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/placefinder)
set(PF_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Placefinder)

function(pf_install name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS")
  get_target_property(type ${name} TYPE)
  get_target_property(dir ${name} SOURCE_DIR)

  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
  list(FILTER headers EXCLUDE REGEX "_test\\.h$")
  get_property(installed GLOBAL PROPERTY PF_INSTALLED_HEADERS)
  foreach(header IN LISTS headers)
    get_filename_component(file ${header} NAME)
    if(file IN_LIST installed)
      message(FATAL_ERROR "pf_install(${name}): another library already installs ${file}")
    endif()
    set_property(GLOBAL APPEND PROPERTY PF_INSTALLED_HEADERS ${file})
  endforeach()
  install(FILES ${headers} DESTINATION ${PF_INSTALL_INCLUDEDIR})

  # Source-tree include directories are valid in the build tree only.
  get_target_property(includes ${name} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped)
  foreach(include IN LISTS includes)
    if(include MATCHES "^\\$<")
      list(APPEND wrapped "${include}")
    else()
      list(APPEND wrapped "$<BUILD_INTERFACE:${include}>")
    endif()
  endforeach()
  list(APPEND wrapped "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  set_property(TARGET ${name} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")

  if(type STREQUAL "STATIC_LIBRARY")
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON
                                             OUTPUT_NAME placefinder_${name})
    target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-semantic-interposition>)
    # A library built with the sanitizers needs their run-time libraries in
    # whatever links it.
    if(PF_SANITIZE)
      target_link_options(${name} INTERFACE $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
    endif()
  endif()

  install(TARGETS ${name} EXPORT PlacefinderTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  set_property(GLOBAL APPEND PROPERTY PF_INSTALL_DEPENDENCIES ${arg_DEPENDS})
endfunction()
