# What `cmake --install` puts where, and the Debian packages CPack makes of it.
#
# Three packages (CPack components):
#   velmora      the viewer, the command-line tools and the shared libraries
#   velmora-dev  the libraries' public headers and pkg-config files
#   velmora-sim  the recorder stand-in zeb-sim, the disk image writer
#                zeb-mkdisk and the test clips they play, for testers
#
# The shared libraries carry no version in their names and are loaded by the
# viewer with dlopen, so they are private to the package: they live in
# <libdir>/velmora and the programs find them through a RUNPATH relative to
# their own folder ($ORIGIN), which holds for any installation prefix.
include(GNUInstallDirs)

set(VELMORA_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/velmora)
set(VELMORA_MAINTAINER "Velmora developers <developers@velmora.org>"
    CACHE STRING "The maintainer named in the Debian packages")

# help2man writes the manual pages from each program's --help and --version.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  velmora_missing("The help2man program (manual pages)" help2man)
endif()
find_program(GZIP gzip REQUIRED)

# ---- programs: one line each, "target|component|summary" (the summary is
# the NAME line of the manual page)
set(velmora_programs
    "velmora|velmora|viewer for ZEB networked video recorders"
    "velmora-ctl|velmora|talk to a ZEB recorder's control connection"
    "velmora-decode|velmora|decode an MPEG-4 Visual stream to raw I420 frames"
    "velmora-disk|velmora|read a ZEB recorder disk or disk image"
    "velmora-dl|velmora|inspect, split or picture a downloaded ZEB data file"
    "velmora-jpeg|velmora|convert pictures between JPEG and BMP"
    "velmora-verify|velmora|check an evidence export against its custody record"
    "zeb-sim|sim|simulated ZEB recorder on a loopback address"
    "zeb-mkdisk|sim|write a ZEB recorder disk image from a description")

file(RELATIVE_PATH velmora_bin_to_libs /${CMAKE_INSTALL_BINDIR} /${VELMORA_PRIVATE_LIBDIR})
# The viewer looks for the libraries it loads there too (viewer/src/libraries.cpp).
target_compile_definitions(velmora_viewer PRIVATE VELMORA_INSTALLED_LIB_DIR="${velmora_bin_to_libs}")

set(velmora_generated ${CMAKE_BINARY_DIR}/packaging)
set(velmora_package_outputs "")
foreach(entry IN LISTS velmora_programs)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 program)
  list(GET fields 1 component)
  list(GET fields 2 summary)
  target_compile_definitions(${program} PRIVATE VELMORA_VERSION="${PROJECT_VERSION}")
  set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${velmora_bin_to_libs}")
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})

  set(include ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
  set(page ${velmora_generated}/man/${program}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${velmora_generated}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${HELP2MAN} --no-info --section 1 --name ${summary} --include ${include}
            --output ${page} $<TARGET_FILE:${program}>
    COMMAND ${GZIP} -9nf ${page}
    DEPENDS ${program} ${include}
    COMMENT "Manual page of ${program}"
    VERBATIM)
  list(APPEND velmora_package_outputs ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  # Tab completion: one script serves every program, loaded by its name.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/velmora-completion.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${program} COMPONENT ${component})
endforeach()

# ---- shared libraries, their headers and pkg-config files
# "target|header|description"
set(velmora_libraries
    "brinlib|brinlib/include/brinlib.h|ZEB recorder client library"
    "OvoDec1|ovodec/include/OvoDec1.h|ZEB picture and sound channel library"
    "jpegkit|jpegkit/include/jpegkit.h|JPEG and BMP picture conversions")
foreach(target IN ITEMS velmora_platform brinlib OvoDec1 jpegkit)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} LIBRARY DESTINATION ${VELMORA_PRIVATE_LIBDIR} COMPONENT velmora)
endforeach()
file(RELATIVE_PATH PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
foreach(entry IN LISTS velmora_libraries)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 PC_LIBRARY)
  list(GET fields 1 header)
  list(GET fields 2 PC_DESCRIPTION)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velmora COMPONENT dev)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/library.pc.in ${velmora_generated}/${PC_LIBRARY}.pc @ONLY)
  install(FILES ${velmora_generated}/${PC_LIBRARY}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# ---- the viewer's English texts, where it looks for them beside its bin folder
install(FILES ${VELMORA_QM_FILES} DESTINATION ${VELMORA_TRANSLATIONS_DIR} COMPONENT velmora)

# ---- the desktop: menu entry, icon, AppStream description
install(FILES ${PROJECT_SOURCE_DIR}/packaging/org.velmora.Velmora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT velmora)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/velmora.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT velmora)
configure_file(${PROJECT_SOURCE_DIR}/packaging/org.velmora.Velmora.metainfo.xml
               ${velmora_generated}/org.velmora.Velmora.metainfo.xml @ONLY)
install(FILES ${velmora_generated}/org.velmora.Velmora.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT velmora)

# ---- the clips zeb-sim streams (its --clips folder)
install(DIRECTORY ${VELMORA_CLIPS_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora-sim/clips COMPONENT sim)

# ---- copyright and changelog of each package, where Debian wants them
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${velmora_generated}/changelog @ONLY)
add_custom_command(OUTPUT ${velmora_generated}/changelog.gz
  COMMAND ${GZIP} -9nkf ${velmora_generated}/changelog
  DEPENDS ${velmora_generated}/changelog
  VERBATIM)
list(APPEND velmora_package_outputs ${velmora_generated}/changelog.gz)
foreach(component IN ITEMS velmora dev sim)
  if(component STREQUAL "velmora")
    set(package velmora)
  else()
    set(package velmora-${component})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${velmora_generated}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
# The manual pages run the programs; the sanitizer and fuzz builds, which
# are not installed, leave them to be built on request.
if(VELMORA_SANITIZE OR VELMORA_FUZZ)
  add_custom_target(packaging_files DEPENDS ${velmora_package_outputs})
else()
  add_custom_target(packaging_files ALL DEPENDS ${velmora_package_outputs})
endif()

# ---- CPack: the three Debian packages
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "${VELMORA_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL velmora dev sim)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.org/")

set(CPACK_DEBIAN_VELMORA_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_VELMORA_PACKAGE_SECTION video)
set(CPACK_DEBIAN_VELMORA_DESCRIPTION "viewer for ZEB networked CCTV video recorders
Velmora shows the live pictures and sound of up to sixteen cameras of a ZEB
networked video recorder, plays back a recorder's hard disk attached to the
PC (or an image of it), copies recorded spans to the PC and saves still
pictures.
.
The package also holds the command-line tools velmora-ctl, velmora-decode,
velmora-disk, velmora-dl, velmora-jpeg and velmora-verify, and the libraries
the viewer loads.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME velmora-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "velmora (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of the Velmora recorder libraries
The public C headers of brinlib (the ZEB recorder client), OvoDec1 (the
picture and sound channels) and jpegkit (JPEG and BMP conversions), with a
pkg-config file for each, to build programs against the libraries of the
velmora package.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME velmora-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_DESCRIPTION "simulated ZEB recorder and disk image writer for testing
zeb-sim plays a ZEB networked video recorder on a loopback address: logins,
control commands, the live stream of four cameras with sound and remote
copies, with faults on request. zeb-mkdisk writes a recorder disk image
from a short description. The test clips zeb-sim streams are in
/usr/share/velmora-sim/clips.")

include(CPack)
