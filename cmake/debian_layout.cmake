# Run by CPack in its staging directory before it makes the .deb: what
# Debian asks of a package on top of the install tree, for every file that
# `cmake --install` put there. Programs and the simulator's line recorder
# stripped, manual pages and documents compressed, the license as the
# copyright file, a changelog, lintian's note on the tool's own spelling, and
# the permissions dpkg expects.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(stage ${CPACK_TEMPORARY_DIRECTORY})
set(doc ${stage}/usr/share/doc/vexlor-prog)
set(source ${CPACK_VEXLOR_SOURCE_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "debian_layout: failed (${status}): ${ARGN}")
  endif()
endfunction()

file(GLOB programs ${stage}/usr/bin/*)
file(GLOB_RECURSE libraries ${stage}/usr/lib/*.so)
foreach(program IN LISTS programs libraries)
  file(READ ${program} magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    run(strip --remove-section=.comment --remove-section=.note --strip-unneeded ${program})
  endif()
endforeach()

# The license becomes the machine-readable copyright file.
file(STRINGS ${source}/LICENSE license_lines)
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
string(APPEND copyright "Upstream-Name: vexlor-prog\n\nFiles: *\n")
set(body "")
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright \\(c\\) (.*)")
    string(APPEND copyright "Copyright: ${CMAKE_MATCH_1}\nLicense: Expat\n")
  elseif(line STREQUAL "")
    if(body)  # a paragraph break is written " ."; empty lines before the text go
      string(APPEND body " .\n")
    endif()
  elseif(NOT line STREQUAL "MIT License")
    string(APPEND body " ${line}\n")
  endif()
endforeach()
file(WRITE ${doc}/copyright "${copyright}${body}")
file(REMOVE ${doc}/LICENSE)

# The changelog is dated by the last commit, so that two builds of one
# commit make the same package.
execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${source}
                OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT commit_time)
  string(TIMESTAMP commit_time "%s" UTC)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -R -u -d @${commit_time}
                OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
set(maintainer ${CPACK_DEBIAN_PACKAGE_MAINTAINER})
if(NOT maintainer)
  set(maintainer ${CPACK_PACKAGE_CONTACT})
endif()
file(WRITE ${doc}/changelog "vexlor-prog (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${maintainer}  ${date}
")

file(GLOB_RECURSE compress ${stage}/usr/share/man/* ${doc}/*)
list(FILTER compress EXCLUDE REGEX "(/copyright|\\.gz)$")
foreach(file IN LISTS compress)
  run(gzip -9n ${file})
endforeach()

# The tool's message spells "writting" so on purpose, and the pages quote it.
file(WRITE ${stage}/usr/share/lintian/overrides/vexlor-prog
     "vexlor-prog: typo-in-manual-page writting writing [*]\n")

file(GLOB_RECURSE files LIST_DIRECTORIES true ${stage}/usr/*)
foreach(path IN LISTS files)
  if(IS_DIRECTORY ${path} OR path MATCHES "^${stage}/usr/bin/")
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                   WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
