# The native compilers with all of Debian's hardening flags, as
# dpkg-buildflags gives them for a package: the build the .deb is made from.
set(hardening ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get)
foreach(kind CXXFLAGS CPPFLAGS LDFLAGS)
  execute_process(COMMAND ${hardening} ${kind} WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/..
                  OUTPUT_VARIABLE ${kind} OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(CMAKE_CXX_FLAGS_INIT "${CXXFLAGS} ${CPPFLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${LDFLAGS}")
# The simulator's line recorder, a module preloaded into a programmer.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${LDFLAGS}")
