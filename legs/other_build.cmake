# vexlor_other_build(NAME [TARGETS TARGET...] OPTIONS CMAKE_ARGUMENT...)
# Another build of this source tree, in <this tree>/NAME, configured with
# the given arguments and built by the target NAME (all of it, or the given
# targets); never as part of `all`, so the native build needs no cross
# compiler. It has no tests or benchmarks of its own: this tree's tests check it.
function(vexlor_other_build name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "TARGETS;OPTIONS")
  set(dir ${CMAKE_BINARY_DIR}/${name})
  set(targets)
  if(arg_TARGETS)
    set(targets --target ${arg_TARGETS})
  endif()
  add_custom_target(${name}
    COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${dir} -G ${CMAKE_GENERATOR}
            -DVEXLOR_TESTS=OFF -DVEXLOR_BENCH=OFF ${arg_OPTIONS}
    COMMAND ${CMAKE_COMMAND} --build ${dir} ${targets}
    COMMENT "The ${name} build of vexlor-prog, in ${dir}"
    USES_TERMINAL VERBATIM)
endfunction()
