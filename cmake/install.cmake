# What `cmake --install` puts where, and what `cpack` makes of it: a Debian package on Linux, a
# zip on Windows.
# The documentation folder is the package's name, not the project's.
set(CMAKE_INSTALL_DOCDIR share/doc/kestrelgate CACHE PATH "Documentation")
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME kestrelgate)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ostwyndhaven")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Fidelity chess computers on a serial port as UCI chess engines")
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrelgate lets a chess GUI use a vintage Fidelity chess computer on a serial port as if it
were a UCI engine. With a line monitor for setting the machine up (kestrelgate-monitor) and a
simulated chess computer to try it without hardware (kestrelgate-sim).")

if(WIN32)
  # Everything in one folder: the program, the monitor and a short text on setting up.
  install(TARGETS kestrelgate kestrelgate-monitor RUNTIME DESTINATION .)
  install(FILES docs/windows-setup.txt DESTINATION . RENAME "Setting up Kestrelgate.txt")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "kestrelgate-${PROJECT_VERSION}-windows-x86")
else()
  install(TARGETS kestrelgate kestrelgate-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET chesssim)
    install(TARGETS chesssim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  # Debian wants manual pages compressed; man reads them either way.
  set(manpage ${CMAKE_CURRENT_BINARY_DIR}/kestrelgate.1.gz)
  add_custom_command(OUTPUT ${manpage}
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/kestrelgate.1 > ${manpage}
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/kestrelgate.1 VERBATIM)
  add_custom_target(manpage ALL DEPENDS ${manpage})
  install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(DIRECTORY tools/transcripts/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrelgate/transcripts)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Where the README's links to the developers' pages lead.
  install(FILES docs/developing.md docs/design.md docs/gui-setup.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrelgate developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION games)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.invalid/kestrelgate")
  find_program(KESTRELGATE_SHLIBDEPS dpkg-shlibdeps)
  if(KESTRELGATE_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    # What the programs ask of the C library when built on Debian 12.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
  endif()
endif()

include(CPack)
