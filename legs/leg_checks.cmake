# The legs that run in the native tree beside its unit and end-to-end tests
# (presets windows, rig, valgrind, packages). Each checks the programmer as
# it is shipped or run elsewhere; the builds they need for that are made
# inside this tree, each by a target of its own, so that every such leg is
# one workflow over one configure preset. A test's label names its leg.
include(${CMAKE_CURRENT_LIST_DIR}/other_build.cmake)
set(legs ${PROJECT_SOURCE_DIR}/legs)

# windows: vexlor-prog.exe cross-built with MinGW-w64 (also what the .zip
# holds); the end-to-end suite runs it under Wine (tests/CMakeLists.txt).
# Before that: the .exe needs no DLL that Windows lacks, and the Wine
# prefix is there, made once per user outside every build tree.
vexlor_other_build(windows OPTIONS
  -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release)
set(VEXLOR_PROG_EXE ${CMAKE_BINARY_DIR}/windows/vexlor-prog.exe)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh --path
                OUTPUT_VARIABLE wine_prefix OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VEXLOR_WINE_PREFIX ${wine_prefix} CACHE PATH "The Wine prefix the Windows build runs in")
add_test(NAME windows.imports COMMAND ${legs}/windows-imports.sh ${VEXLOR_PROG_EXE}
                                      ${CMAKE_BINARY_DIR}/windows/vexlor-flash-all.exe)
add_test(NAME windows.wine_prefix COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh ${VEXLOR_WINE_PREFIX})
# Making a prefix runs wineboot, which scripts/wine-prefix.sh bounds at 600 s.
set_tests_properties(windows.imports windows.wine_prefix PROPERTIES
  LABELS windows FIXTURES_SETUP windows TIMEOUT 700)

# rig: vexlor-prog and the station linked statically for the QEMU guest,
# against the simulator of this tree on the host. Its bound covers fetching the kernel
# on first use (at most 600 s) and the guest's 150 s.
vexlor_other_build(static TARGETS vexlor-prog vexlor-flash-all OPTIONS -DCMAKE_EXE_LINKER_FLAGS=-static)
add_test(NAME rig COMMAND ${legs}/rig.sh ${CMAKE_BINARY_DIR}/static/vexlor-prog
                          ${CMAKE_BINARY_DIR}/static/vexlor-flash-all $<TARGET_FILE:vexlor-sim>
                          ${CMAKE_BINARY_DIR}/rig)
set_tests_properties(rig PROPERTIES LABELS rig TIMEOUT 900)

# valgrind: this tree's vexlor-prog and station under memcheck, on their
# success and failure paths.
add_test(NAME valgrind COMMAND ${legs}/valgrind.sh $<TARGET_FILE:vexlor-prog>
                               $<TARGET_FILE:vexlor-flash-all> $<TARGET_FILE:vexlor-sim>)
set_tests_properties(valgrind PROPERTIES LABELS valgrind TIMEOUT 600)

# packages: the .deb from a release build with Debian's hardening flags,
# checked with lintian and then as a user gets it; the .zip from the
# Windows build above. CPack writes both into this tree (presets deb, zip).
vexlor_other_build(deb OPTIONS -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
  -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/debian-hardening.cmake)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(deb ${CMAKE_BINARY_DIR}/vexlor-prog_${PROJECT_VERSION}_${deb_arch}.deb)
# Every tag down to the informational ones is shown; only errors fail.
add_test(NAME packages.lintian COMMAND lintian --fail-on error --display-info ${deb})
add_test(NAME packages.installed COMMAND ${legs}/package-check.sh ${deb})
set_tests_properties(packages.lintian packages.installed PROPERTIES LABELS packages TIMEOUT 400)
