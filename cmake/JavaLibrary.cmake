# The Java side of the shipped libraries: the JDK, and the jars we ship.
#
#  TRELLUM_JAVA_FOUND  set when a JDK (17 or newer) was found. The jars build
#                      whenever it is, tests or not; without tests a missing
#                      JDK only means no jars.
#  trellum_add_shipped_jar(<target> <add_jar arguments>...)
#                      add_jar for a jar we ship: Java 7 class files, so that
#                      it runs on the oldest runtimes of the process (Java 7,
#                      Android API 16).
#  trellum_ship_jar(<add_jar target> SOURCE_ROOT <dir> [KEEP_RULES <file>]
#                   [CLASSPATH <jar>...])
#                      beside the jar, a sources jar and a Javadoc jar, and
#                      all three installed; the shrinker keep rules go to
#                      share/trellum/proguard/<jar name>.pro. With tests, a
#                      test <jar name>.java7_api checks the jar's class files
#                      against tools/java-api/allowlist.txt.
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
# Tests, benchmarks and demos: release 11 class files, which the shrinker
# that tests our keep rules still reads.
set(CMAKE_JAVA_COMPILE_FLAGS --release 11 -Xlint:all -Werror)

# add_jar with class files for another release. JDK 17 still compiles for
# Java 7 but warns that it will stop; that warning is the only one let
# through.
function(_trellum_add_jar_for_release release target)
  set(CMAKE_JAVA_COMPILE_FLAGS --release ${release} -Xlint:all,-options -Werror)
  add_jar(${target} ${ARGN})
endfunction()

set(TRELLUM_SHIPPED_JAVA_RELEASE 7)
function(trellum_add_shipped_jar target)
  _trellum_add_jar_for_release(${TRELLUM_SHIPPED_JAVA_RELEASE} ${target} ${ARGN})
endfunction()

# The checker of shipped class files (see tools/java-api/ApiCheck.java), a
# test tool and so free to use Java 17.
if(TRELLUM_BUILD_TESTS)
  set(TRELLUM_API_CHECK_DIR "${PROJECT_SOURCE_DIR}/tools/java-api")
  _trellum_add_jar_for_release(17 trellum_java_api_check
    SOURCES "${TRELLUM_API_CHECK_DIR}/ApiCheck.java" ENTRY_POINT ApiCheck OUTPUT_NAME java-api-check-test)  # not shipped: named as a test jar
  get_target_property(TRELLUM_API_CHECK_JAR trellum_java_api_check JAR_FILE)
  set(TRELLUM_API_CHECK
    "${Java_JAVA_EXECUTABLE}" -jar "${TRELLUM_API_CHECK_JAR}"
    --allowlist "${TRELLUM_API_CHECK_DIR}/allowlist.txt" --ct-sym "${TRELLUM_JDK_HOME}/lib/ct.sym")

  # The checker must refuse what it exists to refuse: class files compiled
  # at test time, each with one fault.
  add_test(NAME java_api_check.rejects
    COMMAND "${TRELLUM_API_CHECK_DIR}/check-rejects.sh" "${TRELLUM_JDK_HOME}"
      "${TRELLUM_API_CHECK_JAR}" "${CMAKE_CURRENT_BINARY_DIR}/java-api-rejects")
  set_tests_properties(java_api_check.rejects PROPERTIES TIMEOUT 120)
endif()

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
    COMMAND "${Java_JAVADOC_EXECUTABLE}" -quiet --release ${TRELLUM_SHIPPED_JAVA_RELEASE} -Xdoclint:all ${werror}
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

  if(TRELLUM_BUILD_TESTS)
    add_test(NAME ${jar_stem}.java7_api COMMAND ${TRELLUM_API_CHECK} "${jar}")
    set_tests_properties(${jar_stem}.java7_api PROPERTIES TIMEOUT 120)
  endif()
endfunction()
