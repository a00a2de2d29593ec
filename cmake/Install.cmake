# What `cmake --install` lays down, and how consumers find it:
#  - the libraries in the library folder, unversioned: Android loads them by
#    their plain file names (System.loadLibrary, the APK's lib/<abi>/), and
#    libtrellum_jvm records libtrellum.so as the name it needs;
#  - the public C headers of libtrellum;
#  - a CMake package, find_package(trellum CONFIG), with the imported
#    targets trellum::trellum, trellum::trellum_jvm and trellum::cassowin;
#  - trellum.pc for pkg-config;
#  - the jars and their shrinker keep rules, by trellum_ship_jar
#    (JavaLibrary.cmake).
# The same trellum:: names exist as aliases in the build tree, so a project
# that takes this tree by add_subdirectory links the same way.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TRELLUM_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/trellum")

add_library(trellum::trellum ALIAS trellum)
install(TARGETS trellum EXPORT trellumTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/trellum/include/trellum"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  FILES_MATCHING PATTERN "*.h")

# The JNI libraries have no headers: Java loads them, C code never calls them.
foreach(jni_library IN ITEMS trellum_jvm cassowin)
  if(TARGET ${jni_library})
    add_library(trellum::${jni_library} ALIAS ${jni_library})
    install(TARGETS ${jni_library} EXPORT trellumTargets
      LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}")
  endif()
endforeach()

install(EXPORT trellumTargets NAMESPACE trellum:: DESTINATION "${TRELLUM_INSTALL_CMAKEDIR}")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/trellumConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/trellumConfig.cmake"
  INSTALL_DESTINATION "${TRELLUM_INSTALL_CMAKEDIR}"
  PATH_VARS CMAKE_INSTALL_DATADIR)
# Within a major version the C API and the exports only grow.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/trellumConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/trellumConfig.cmake" "${PROJECT_BINARY_DIR}/trellumConfigVersion.cmake"
  DESTINATION "${TRELLUM_INSTALL_CMAKEDIR}")

# trellum.pc finds its prefix from its own folder, so the install tree can
# be moved, or installed with `cmake --install --prefix` elsewhere than
# configured.
set(pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
set(TRELLUM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
if(NOT IS_ABSOLUTE "${pc_dir}")
  file(RELATIVE_PATH up "/prefix/${pc_dir}" "/prefix")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(TRELLUM_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  set(TRELLUM_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TRELLUM_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/trellum.pc.in" "${PROJECT_BINARY_DIR}/trellum.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/trellum.pc" DESTINATION "${pc_dir}")
