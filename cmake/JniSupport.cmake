# JNI headers, the Java build and JUnit test runs on real JVMs.
#
#  TRELLUM_JNI_INCLUDE_DIRS   jni.h of the JDK (or the NDK's sysroot on Android)
#  TRELLUM_ANDROID_JNI_DIR    Android's own jni.h, to prove the JNI code also
#                             compiles against it (it types AttachCurrentThread
#                             differently); empty where not installed
#  trellum_android_jni_check(<name> SOURCES ... INCLUDES ...)
#  trellum_add_junit_test(<name> JARS ... LIBRARY_DIRS ... [SELECT ...] [JVM_OPTIONS ...])

# Compiles JNI sources against Android's jni.h (object files only, never
# linked). A check of the development build: it does nothing in an Android
# build (the NDK's jni.h is the one used there anyway) or without tests.
function(trellum_android_jni_check name)
  cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDES" ${ARGN})
  if(ANDROID OR NOT TRELLUM_BUILD_TESTS)
    return()
  endif()
  if(NOT TRELLUM_ANDROID_JNI_DIR)
    message(WARNING "Android's jni.h not found (android-libnativehelper-dev): ${name} skipped")
    return()
  endif()
  add_library(${name} OBJECT ${ARG_SOURCES})
  target_include_directories(${name} BEFORE PRIVATE "${TRELLUM_ANDROID_JNI_DIR}" ${ARG_INCLUDES})
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -Wall -Wextra)
endfunction()

if(ANDROID)
  set(TRELLUM_JNI_INCLUDE_DIRS "")  # the NDK's sysroot has jni.h
  return()
endif()

set(TRELLUM_JDK_HOME "/usr/lib/jvm/java-17-openjdk-amd64" CACHE PATH "JDK used to compile Java and for jni.h")
set(TRELLUM_JNI_INCLUDE_DIRS "${TRELLUM_JDK_HOME}/include" "${TRELLUM_JDK_HOME}/include/linux")
if(NOT EXISTS "${TRELLUM_JDK_HOME}/include/jni.h")
  message(FATAL_ERROR "No jni.h under ${TRELLUM_JDK_HOME}: install openjdk-17-jdk-headless")
endif()

find_path(TRELLUM_ANDROID_JNI_DIR jni.h PATHS /usr/include/android/nativehelper NO_DEFAULT_PATH)

include(JavaLibrary)

if(NOT TRELLUM_BUILD_TESTS)
  return()
endif()

# ---- Java tests --------------------------------------------------------------
option(TRELLUM_JAVA_TESTS "Run the JUnit tests on a real JVM" ON)

set(TRELLUM_JUNIT_DIR "/usr/share/java" CACHE PATH "Folder holding the JUnit 5 jars")
set(TRELLUM_JUNIT_API_JARS
  "${TRELLUM_JUNIT_DIR}/junit-jupiter-api.jar"
  "${TRELLUM_JUNIT_DIR}/junit-jupiter-params.jar"
  "${TRELLUM_JUNIT_DIR}/apiguardian-api.jar"
  "${TRELLUM_JUNIT_DIR}/opentest4j.jar"
  "${TRELLUM_JUNIT_DIR}/junit-platform-commons.jar")
set(TRELLUM_JUNIT_CONSOLE "${TRELLUM_JUNIT_DIR}/junit-platform-console-standalone.jar")

# The JVM that matches the build's word size: tests load our libraries into it.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_default_java "/usr/lib/jvm/java-17-openjdk-i386/bin/java")
else()
  set(_default_java "${TRELLUM_JDK_HOME}/bin/java")
endif()
set(TRELLUM_TEST_JAVA "${_default_java}" CACHE FILEPATH "JVM that runs the JUnit tests")
# Extra environment for the JVM, e.g. a preloaded sanitizer runtime.
# A JVM that loads AddressSanitizer-built libraries needs the ASan runtime
# loaded before anything else, and must keep its own SIGSEGV handler (it
# takes the signal for safepoints and null checks); leak reports would be
# about the JVM's own allocations.
set(_default_java_env "")
if(TRELLUM_SANITIZE MATCHES "address")
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libasan.so
    OUTPUT_VARIABLE _asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(_default_java_env "LD_PRELOAD=${_asan_runtime}"
    "ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=0")
endif()
set(TRELLUM_TEST_JAVA_ENV "${_default_java_env}" CACHE STRING "VAR=value;... set for JUnit runs")

function(trellum_add_junit_test name)
  cmake_parse_arguments(ARG "" "" "JARS;LIBRARY_DIRS;SELECT;JVM_OPTIONS" ${ARGN})
  if(NOT TRELLUM_JAVA_TESTS)
    return()
  endif()
  list(JOIN ARG_JARS ":" classpath)
  list(JOIN ARG_LIBRARY_DIRS ":" libpath)
  set(launcher "${TRELLUM_TEST_JAVA}")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # Under qemu user emulation HotSpot's compiled code now and then crashes
    # the JVM itself (walking compiled frames at a safepoint); interpreted
    # code runs reliably, and there even faster.
    set(launcher "${CMAKE_CROSSCOMPILING_EMULATOR}" "${TRELLUM_TEST_JAVA}" -Xint)
  endif()
  set(select_args "")
  foreach(s IN LISTS ARG_SELECT)
    list(APPEND select_args "--select-class=${s}")
  endforeach()
  if(NOT select_args)
    set(select_args "--scan-class-path")
  endif()
  add_test(NAME ${name}
    COMMAND "${PROJECT_SOURCE_DIR}/tools/run-junit.sh"
      ${launcher} -Xcheck:jni "-Djava.library.path=${libpath}" ${ARG_JVM_OPTIONS}
      -jar "${TRELLUM_JUNIT_CONSOLE}"
      --class-path "${classpath}" ${select_args}
      --fail-if-no-tests --disable-banner --details=tree)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(TRELLUM_TEST_JAVA_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${TRELLUM_TEST_JAVA_ENV}")
  endif()
endfunction()
