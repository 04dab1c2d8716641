# Install rules: the header, the library, the command-line host (installed by
# tools/), a CMake package giving kestrova::screenrecorder and a pkg-config
# file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KSR_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrova-screenrecorder)

set_target_properties(kestrova-screenrecorder PROPERTIES EXPORT_NAME screenrecorder)
install(TARGETS kestrova-screenrecorder EXPORT kestrova-screenrecorder-targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/kestrova/screenrecorder.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrova)

install(EXPORT kestrova-screenrecorder-targets NAMESPACE kestrova::
        FILE kestrova-screenrecorder-targets.cmake DESTINATION ${KSR_PACKAGE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kestrova-screenrecorder-config.cmake.in
                              ${CMAKE_BINARY_DIR}/kestrova-screenrecorder-config.cmake
                              INSTALL_DESTINATION ${KSR_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kestrova-screenrecorder-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kestrova-screenrecorder-config.cmake
              ${CMAKE_BINARY_DIR}/kestrova-screenrecorder-config-version.cmake
        DESTINATION ${KSR_PACKAGE_DIR})

# The .pc file finds its prefix from its own place, so an install with
# `cmake --install --prefix` anywhere stays usable.
file(RELATIVE_PATH KSR_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KSR_PC_TO_PREFIX "${KSR_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/kestrova-screenrecorder.pc.in
               ${CMAKE_BINARY_DIR}/kestrova-screenrecorder.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kestrova-screenrecorder.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
