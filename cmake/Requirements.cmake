# What the build needs from the system. Each is required: a missing one stops
# the configuration with the Debian package that provides it, rather than
# leaving out the viewer, the tests or the test clips without a word.
# scripts/install-deps installs all of them.

# velmora_missing(WHAT PACKAGE)
function(velmora_missing what package)
  message(FATAL_ERROR "${what} was not found. Install the Debian package ${package} "
                      "(scripts/install-deps installs everything the build needs).")
endfunction()

find_package(Threads REQUIRED)

find_package(ALSA QUIET)
if(NOT ALSA_FOUND)
  velmora_missing("ALSA (sound output)" libasound2-dev)
endif()

# The viewer's windows, and the toolkit's test library for the window tests.
find_package(Qt6 QUIET COMPONENTS Widgets Test)
if(NOT Qt6Widgets_FOUND OR NOT Qt6Test_FOUND)
  velmora_missing("Qt 6 (Widgets and Test)" qt6-base-dev)
endif()
# The translation tools: lrelease compiles the viewer's English texts, and
# the tests check with lupdate that every text has its translation.
find_package(Qt6 QUIET COMPONENTS LinguistTools)
if(NOT Qt6LinguistTools_FOUND)
  velmora_missing("Qt 6's translation tools (lupdate, lrelease)" "qt6-l10n-tools and qt6-tools-dev")
endif()

# ffmpeg makes the test clips (the simulator's cameras, the demo's disk) and
# is the reference the decoders are compared with.
find_program(FFMPEG ffmpeg)
if(NOT FFMPEG)
  velmora_missing("The ffmpeg program" ffmpeg)
endif()

# libavformat writes the evidence export's standard video files.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBAV QUIET IMPORTED_TARGET libavformat libavcodec libavutil)
endif()
# OpenSSL's SHA-256 (with the processor's SHA instructions where it has
# them) hashes what the export reads and writes.
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  velmora_missing("OpenSSL's crypto library (the export's SHA-256)" libssl-dev)
endif()
if(NOT LIBAV_FOUND)
  velmora_missing("libavformat (the video file writer of the export)" "libavformat-dev, libavcodec-dev and libavutil-dev")
endif()

if(VELMORA_TESTS AND NOT VELMORA_FUZZ)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    velmora_missing("GoogleTest" "libgtest-dev and libgmock-dev")
  endif()
  # xvidcore: the second reference decoder of the conformance tests.
  find_path(XVID_INCLUDE_DIR xvid.h)
  find_library(XVID_LIBRARY xvidcore)
  if(NOT XVID_INCLUDE_DIR OR NOT XVID_LIBRARY)
    velmora_missing("xvidcore" libxvidcore-dev)
  endif()
endif()
