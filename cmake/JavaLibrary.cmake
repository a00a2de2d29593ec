# The Java side of the shipped libraries: the JDK, and the jars we ship.
#
#  TRELLUM_JAVA_FOUND  set when a JDK (17 or newer) was found. The jars build
#                      whenever it is, tests or not; without tests a missing
#                      JDK only means no jars.
#  trellum_ship_jar(<add_jar target> SOURCE_ROOT <dir> [KEEP_RULES <file>]
#                   [CLASSPATH <jar>...])
#                      beside the jar, a sources jar and a Javadoc jar, and
#                      all three installed; the shrinker keep rules go to
#                      share/trellum/proguard/<jar name>.pro.
#
# Included by JniSupport.cmake, never in an Android build: there the app's
# Gradle build compiles the Java sources itself.
set(Java_JAVAC_EXECUTABLE "${TRELLUM_JDK_HOME}/bin/javac")
set(Java_JAR_EXECUTABLE "${TRELLUM_JDK_HOME}/bin/jar")
set(Java_JAVA_EXECUTABLE "${TRELLUM_JDK_HOME}/bin/java")
set(Java_JAVADOC_EXECUTABLE "${TRELLUM_JDK_HOME}/bin/javadoc")
if(TRELLUM_BUILD_TESTS)
  find_package(Java 17 REQUIRED COMPONENTS Development)
else()
  find_package(Java 17 COMPONENTS Development)
endif()
if(NOT Java_FOUND)
  message(STATUS "No JDK: the jars are not built")
  return()
endif()
set(TRELLUM_JAVA_FOUND ON)
include(UseJava)
include(GNUInstallDirs)
# Release 11 class files: Android's toolchain and the shrinkers read them.
set(CMAKE_JAVA_COMPILE_FLAGS --release 11 -Xlint:all -Werror)

# Where jars go, as Debian lays them out (/usr/share/java).
set(TRELLUM_INSTALL_JARDIR "${CMAKE_INSTALL_DATADIR}/java")

# The sources and Javadoc jars are built from the very list add_jar compiles
# (it writes it to <classdir>/java_sources), so a source added to the add_jar
# call is shipped and documented with no further edit.
function(trellum_ship_jar target)
  cmake_parse_arguments(ARG "" "SOURCE_ROOT;KEEP_RULES" "CLASSPATH" ${ARGN})
  get_target_property(jar ${target} JAR_FILE)
  get_target_property(classdir ${target} CLASSDIR)
  file(STRINGS "${classdir}/java_sources" sources)
  list(TRANSFORM sources REPLACE "^\"(.*)\"$" "\\1")

  get_filename_component(jar_dir "${jar}" DIRECTORY)
  get_filename_component(jar_stem "${jar}" NAME_WE)
  set(sources_jar "${jar_dir}/${jar_stem}-sources.jar")
  set(javadoc_jar "${jar_dir}/${jar_stem}-javadoc.jar")
  set(javadoc_dir "${CMAKE_CURRENT_BINARY_DIR}/${jar_stem}-javadoc")

  set(jar_args "")
  foreach(source IN LISTS sources)
    file(RELATIVE_PATH relative "${ARG_SOURCE_ROOT}" "${source}")
    if(relative MATCHES "^\\.\\./")
      message(FATAL_ERROR "${target}: ${source} lies outside ${ARG_SOURCE_ROOT}")
    endif()
    list(APPEND jar_args -C "${ARG_SOURCE_ROOT}" "${relative}")
  endforeach()
  add_custom_command(OUTPUT "${sources_jar}"
    COMMAND "${Java_JAR_EXECUTABLE}" cf "${sources_jar}" ${jar_args}
    DEPENDS ${sources}
    COMMENT "Sources jar ${jar_stem}-sources.jar"
    VERBATIM)

  # With tests, Javadoc is a check as well: any doclint finding fails the
  # build. Without them it only documents.
  set(werror "")
  if(TRELLUM_BUILD_TESTS)
    set(werror -Werror)
  endif()
  list(JOIN ARG_CLASSPATH ":" classpath)
  add_custom_command(OUTPUT "${javadoc_jar}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${javadoc_dir}"
    COMMAND "${Java_JAVADOC_EXECUTABLE}" -quiet --release 11 -Xdoclint:all ${werror}
      -classpath "${classpath}" -d "${javadoc_dir}" "@${classdir}/java_sources"
    COMMAND "${Java_JAR_EXECUTABLE}" cf "${javadoc_jar}" -C "${javadoc_dir}" .
    DEPENDS ${sources}
    COMMENT "Javadoc jar ${jar_stem}-javadoc.jar"
    VERBATIM)
  add_custom_target(${target}_ship ALL DEPENDS "${sources_jar}" "${javadoc_jar}")

  install(FILES "${jar}" "${sources_jar}" "${javadoc_jar}"
    DESTINATION "${TRELLUM_INSTALL_JARDIR}")
  if(ARG_KEEP_RULES)
    install(FILES "${ARG_KEEP_RULES}" RENAME "${jar_stem}.pro"
      DESTINATION "${CMAKE_INSTALL_DATADIR}/trellum/proguard")
  endif()
  set_property(GLOBAL APPEND PROPERTY TRELLUM_SHIPPED_JARS "${jar_stem}")
endfunction()
