# trellum_native_library(<name> VERSION_SCRIPT <file> [STAYS_LOADED] SOURCES <src>...)
#
# A shared library the way all three of ours must ship inside an Android app:
#  - hidden visibility by default, and a version script that names exactly
#    the exports (its last line hides everything else);
#  - immediate binding (-z now) and no undefined symbols, so a missing
#    library or function fails the load instead of a later call;
#  - C++ without exceptions or RTTI, and no C++ runtime shared library: the
#    little of it we might pull in is linked statically and kept hidden;
#  - on 32-bit x86, -mstackrealign: VM threads may call in with a stack that
#    is only 4-byte aligned.
# STAYS_LOADED (-z nodelete) is for a library that leaves code to run when
# a thread ends (a thread-specific-data destructor): a JDK unloads a class
# loader's native libraries when the loader is collected, and any thread
# that ends afterwards would jump into unmapped memory. Deleting the keys at
# unload instead cannot be made safe: it would race with threads ending,
# and threads that need the destructor (one attached to a Dalvik VM must be
# detached, or the VM aborts the process) would then end without it.
# glibc and bionic both keep such a library mapped for the process's life.
function(trellum_native_library name)
  cmake_parse_arguments(ARG "STAYS_LOADED" "VERSION_SCRIPT" "SOURCES" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS "${ARG_VERSION_SCRIPT}")
  target_compile_options(${name} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
    -Wall -Wextra -Wshadow)
  target_link_options(${name} PRIVATE
    -Wl,-z,now -Wl,--no-undefined
    "-Wl,--version-script=${ARG_VERSION_SCRIPT}"
    -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -Wl,--as-needed)
  if(ARG_STAYS_LOADED)
    target_link_options(${name} PRIVATE -Wl,-z,nodelete)
    # For trellum_add_library_check, which verifies the flag.
    set_target_properties(${name} PROPERTIES TRELLUM_STAYS_LOADED ON)
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$" OR CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_options(${name} PRIVATE -mstackrealign)
  endif()
endfunction()
