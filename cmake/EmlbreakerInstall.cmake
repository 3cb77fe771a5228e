# What `cmake --install` adds for people who write hosts and filters and for
# administrators, beside the programs, libraries, headers and data installed
# where they are built:
#   lib/emlbreaker/libascommon.a      the host-side library (static, PIC)
#   lib/pkgconfig/emlbreaker.pc       pkg-config: headers, ascommon, `plugin`
#   lib/cmake/emlbreaker/             find_package(emlbreaker CONFIG):
#                                     emlbreaker::ascommon, EMLBREAKER_PLUGIN
#   share/man/man1/emlscan.1          from docs/emlscan.1.md (go-md2man)
#   share/doc/emlbreaker/             README.md, LICENSE, docs/*.md
#   share/emlbreaker/samples/         the sample mails
include(CMakePackageConfigHelpers)

set(EMLB_CONFIG_INSTALL_DIR lib/cmake/emlbreaker)
set(EMLB_CONFIG_INCLUDEDIR include)
set(EMLB_CONFIG_DATADIR share/emlbreaker)

# ascommon: every host builds and destroys the black box of each MailItem, so
# it links this library. Consumers compile the public headers as C++17.
target_compile_features(ascommon INTERFACE cxx_std_17)
install(TARGETS ascommon EXPORT emlbreakerTargets
  ARCHIVE DESTINATION ${EMLB_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${EMLB_CONFIG_INCLUDEDIR})
install(EXPORT emlbreakerTargets NAMESPACE emlbreaker::
  DESTINATION ${EMLB_CONFIG_INSTALL_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/emlbreakerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/emlbreakerConfig.cmake
  INSTALL_DESTINATION ${EMLB_CONFIG_INSTALL_DIR}
  PATH_VARS EMLB_INSTALL_LIBDIR EMLB_CONFIG_INCLUDEDIR EMLB_CONFIG_DATADIR)
# The public layouts are the interface (docs/ARCHITECTURE.md); a minor
# version may change them, so a request for 2.5 accepts 2.5.x only.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/emlbreakerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/emlbreakerConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/emlbreakerConfigVersion.cmake
  DESTINATION ${EMLB_CONFIG_INSTALL_DIR})

# The .pc file names absolute paths, so it is written at install time, when
# the prefix is known (`cmake --install BUILD --prefix DIR` included).
set(EMLB_PC_FILE ${CMAKE_BINARY_DIR}/cmake/install/emlbreaker.pc)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(EMLB_INSTALL_LIBDIR \"${EMLB_INSTALL_LIBDIR}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/emlbreaker.pc.in\" \"${EMLB_PC_FILE}\" @ONLY)
")
install(FILES ${EMLB_PC_FILE} DESTINATION lib/pkgconfig)

# emlscan(1), converted at build time from its one source, docs/emlscan.1.md.
option(EMLB_MAN "Build and install the emlscan(1) man page (needs go-md2man)" ON)
if(EMLB_MAN)
  find_program(GO_MD2MAN go-md2man)
  if(NOT GO_MD2MAN)
    message(FATAL_ERROR "go-md2man not found: install it (.ci/deps.sh), or configure with -DEMLB_MAN=OFF")
  endif()
  set(EMLB_MAN_PAGE ${CMAKE_BINARY_DIR}/man/emlscan.1)
  configure_file(${CMAKE_SOURCE_DIR}/docs/emlscan.1.md ${CMAKE_BINARY_DIR}/man/emlscan.1.md @ONLY)
  add_custom_command(OUTPUT ${EMLB_MAN_PAGE}
    COMMAND ${GO_MD2MAN} -in ${CMAKE_BINARY_DIR}/man/emlscan.1.md -out ${EMLB_MAN_PAGE}
    DEPENDS ${CMAKE_BINARY_DIR}/man/emlscan.1.md
    COMMENT "Generating the emlscan(1) man page")
  add_custom_target(emlscan_man ALL DEPENDS ${EMLB_MAN_PAGE})
  install(FILES ${EMLB_MAN_PAGE} DESTINATION share/man/man1)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
  DESTINATION share/doc/emlbreaker)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/emlbreaker
  FILES_MATCHING PATTERN "*.md" PATTERN "emlscan.1.md" EXCLUDE)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/samples DESTINATION share/emlbreaker)
