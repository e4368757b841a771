# Portable Linux wheels (scripts/wheels includes this file after project() through
# CMAKE_PROJECT_korvane_INCLUDE). Every Python module of the project, whatever its name, links
# the C++ runtime statically and references glibc only at versions that manylinux_2_17 allows,
# while the compiler and its flags stay those of the default build: the code is the same.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  message(FATAL_ERROR "The portable wheels are built with GCC on Linux")
endif()

# Pins the few symbols the code calls whose default version is newer (see the header).
add_compile_options("SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/manylinux_glibc.h")

function(korvane_manylinux_modules dir)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY")
      target_sources(${target} PRIVATE "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/manylinux_glibc.cpp")
      # libgcc stays shared: its static unwinder needs glibc 2.35's _dl_find_object, and
      # manylinux allows libgcc_s.
      target_link_options(${target} PRIVATE -static-libstdc++)
      # Before glibc 2.34 the thread calls pinned in manylinux_glibc.h live in libpthread.
      target_link_options(${target} PRIVATE "LINKER:--no-as-needed,-l:libpthread.so.0,--as-needed")
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    korvane_manylinux_modules("${subdir}")
  endforeach()
endfunction()
# After the whole project is read, so that every module target exists.
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL korvane_manylinux_modules "${CMAKE_SOURCE_DIR}")
