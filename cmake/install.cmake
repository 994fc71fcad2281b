# `cmake --install`: the program with its man page and bash completion, and the
# library (public headers, static libraries, a CMake package) for other projects:
#   find_package(quorvex REQUIRED)
#   target_link_libraries(app PRIVATE quorvex::quorvex)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS quorvex_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/quorvex.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/completions/quorvex.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quorvex)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quorvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS quorvex ${QUORVEX_LIBRARIES} EXPORT quorvexTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set(QUORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvex)
install(EXPORT quorvexTargets NAMESPACE quorvex:: DESTINATION ${QUORVEX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quorvexConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/quorvexConfig.cmake INSTALL_DESTINATION ${QUORVEX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvexConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvexConfig.cmake ${PROJECT_BINARY_DIR}/quorvexConfigVersion.cmake
        DESTINATION ${QUORVEX_CMAKE_DIR})
