# What `cmake --install` and the Debian packages hold.
#
# Two parts: "runtime" is the velquor command with its manual page and bash
# completion (the velquor package); "development" is the engine libraries,
# their headers, the CMake package (find_package(Velquor) gives
# Velquor::esperlin and the others) and velquor.pc (the velquor-dev
# package).
#
# Headers go under include/velquor/: a program includes
# "velquor/esperlin/esperlin.h" as the tree itself does, and the shared
# helpers those headers use as "shared/...", found through
# include/velquor on the include path.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The libraries a program can link, each after the ones it uses. A module
# joins the install with one word here; a folder not built is skipped.
set(VELQUOR_INSTALLED_MODULES
  shared
  pellan morvic quessary wendal tarvon ulmeric dotenv window
  brevalt cindrel lorvessa dornath esperlin shifts notify report)

set(velquor_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Velquor)
# Everything installed, so that installing and packing need not build the
# tests: cpack and the install target build only this, not all.
add_custom_target(velquor_installed DEPENDS velquor velquor_docs)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(velquor_pc_libs "")
target_include_directories(velquor_shared INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/velquor>)

foreach(module ${VELQUOR_INSTALLED_MODULES})
  if(NOT TARGET velquor_${module})
    continue()
  endif()
  if(module STREQUAL "shared")
    set(header_dir ${PROJECT_SOURCE_DIR}/shared)
  else()
    set(header_dir ${PROJECT_SOURCE_DIR}/velquor/${module})
  endif()
  set_target_properties(velquor_${module} PROPERTIES EXPORT_NAME ${module})
  add_dependencies(velquor_installed velquor_${module})
  install(TARGETS velquor_${module} EXPORT VelquorTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(DIRECTORY ${header_dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velquor/${module}
          COMPONENT development FILES_MATCHING PATTERN "*.h")
  # Static libraries link users first: the last module comes first.
  set(velquor_pc_libs "-lvelquor_${module} ${velquor_pc_libs}")
endforeach()

install(EXPORT VelquorTargets NAMESPACE Velquor:: DESTINATION ${velquor_cmake_dir}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelquorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VelquorConfig.cmake INSTALL_DESTINATION ${velquor_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelquorConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
# The prefix is found from where velquor.pc lies, so a copy installed with
# --prefix elsewhere still points at its own files.
file(RELATIVE_PATH velquor_pc_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${PROJECT_SOURCE_DIR}/cmake/velquor.pc.in ${PROJECT_BINARY_DIR}/velquor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/VelquorConfig.cmake
              ${PROJECT_BINARY_DIR}/VelquorConfigVersion.cmake
        DESTINATION ${velquor_cmake_dir} COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/velquor.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(TARGETS velquor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${VELQUOR_MANUAL_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES ${VELQUOR_BASH_COMPLETION} RENAME velquor
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT runtime)

# `make package` (or cpack in the build directory): velquor_VERSION_amd64.deb
# and velquor-dev_VERSION_amd64.deb. The runtime package's dependencies are
# read from the binary by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velquor)
set(CPACK_PACKAGE_VENDOR "The Velquor developers")
set(CPACK_PACKAGE_CONTACT "The Velquor developers <velquor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watches a project's development history and reports drift")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME velquor)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "git")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME velquor-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "velquor (= ${PROJECT_VERSION}), libcurl4-openssl-dev | libcurl-dev, libsqlite3-dev, libssl-dev, libgmp-dev, nlohmann-json3-dev, pkg-config")
include(CPack)
