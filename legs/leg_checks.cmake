# The checks that the native tree runs beside its unit and end-to-end tests
# (test presets lint, wine, rig, valgrind and packages). Each checks the
# programmer as it is shipped or run elsewhere. The builds it checks are made
# by presets of their own (windows, static, deb), each in its own tree; this
# tree is told where by the three paths below, and builds none of them. A
# test's label names its check's test preset.
set(legs ${PROJECT_SOURCE_DIR}/legs)
set(VEXLOR_WINDOWS_BUILD "" CACHE PATH "The tree of the Windows build (preset windows)")
set(VEXLOR_STATIC_BUILD "" CACHE PATH "The tree of the static build for the rig (preset static)")
set(VEXLOR_DEB_BUILD "" CACHE PATH "The tree of the release build and its .deb (preset deb)")
foreach(tree VEXLOR_WINDOWS_BUILD VEXLOR_STATIC_BUILD VEXLOR_DEB_BUILD)
  if(NOT ${tree})
    message(FATAL_ERROR "VEXLOR_LEG_CHECKS needs ${tree}, the path of that build (preset native sets it)")
  endif()
endforeach()

# lint: every .cpp and .h as .clang-format lays it out, and the manual
# pages without a finding of mandoc's lint. A second; nothing to build.
foreach(check layout manpages)
  add_test(NAME lint.${check} COMMAND ${legs}/lint.sh ${check})
  set_tests_properties(lint.${check} PROPERTIES LABELS lint TIMEOUT 60)
endforeach()

# windows: the end-to-end suite runs the Windows build under Wine
# (tests/CMakeLists.txt). Before that: the .exe needs no DLL that Windows
# lacks, and the Wine prefix is there, made once per user outside every
# build tree.
set(VEXLOR_PROG_EXE ${VEXLOR_WINDOWS_BUILD}/vexlor-prog.exe)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh --path
                OUTPUT_VARIABLE wine_prefix OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VEXLOR_WINE_PREFIX ${wine_prefix} CACHE PATH "The Wine prefix the Windows build runs in")
add_test(NAME windows.imports COMMAND ${legs}/windows-imports.sh ${VEXLOR_PROG_EXE}
                                      ${VEXLOR_WINDOWS_BUILD}/vexlor-flash-all.exe)
add_test(NAME windows.wine_prefix COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh ${VEXLOR_WINE_PREFIX})
# Making a prefix runs wineboot, which scripts/wine-prefix.sh bounds at 600 s.
set_tests_properties(windows.imports windows.wine_prefix PROPERTIES
  LABELS windows FIXTURES_SETUP windows TIMEOUT 700)

# rig: the static programmer and station in the QEMU guest, against the
# simulator of this tree on the host. Its bound covers fetching the kernel
# on first use (at most 600 s) and the guest's 150 s.
add_test(NAME rig COMMAND ${legs}/rig.sh ${VEXLOR_STATIC_BUILD}/vexlor-prog
                          ${VEXLOR_STATIC_BUILD}/vexlor-flash-all $<TARGET_FILE:vexlor-sim>
                          ${CMAKE_BINARY_DIR}/rig)
set_tests_properties(rig PROPERTIES LABELS rig TIMEOUT 900)

# valgrind: this tree's vexlor-prog and station under memcheck, on their
# success and failure paths.
add_test(NAME valgrind COMMAND ${legs}/valgrind.sh $<TARGET_FILE:vexlor-prog>
                               $<TARGET_FILE:vexlor-flash-all> $<TARGET_FILE:vexlor-sim>)
set_tests_properties(valgrind PROPERTIES LABELS valgrind TIMEOUT 600)

# packages: the .deb that CPack made from the release build, checked with
# lintian and then as a user gets it. Every tag down to the informational
# ones is shown; only errors fail.
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(deb ${VEXLOR_DEB_BUILD}/vexlor-prog_${PROJECT_VERSION}_${deb_arch}.deb)
add_test(NAME packages.lintian COMMAND lintian --fail-on error --display-info ${deb})
add_test(NAME packages.installed COMMAND ${legs}/package-check.sh ${deb})
set_tests_properties(packages.lintian packages.installed PROPERTIES LABELS packages TIMEOUT 400)
