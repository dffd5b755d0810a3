# The tool built for musl: a second build tree of these same sources, under
# musl/ in this one, configured with the toolchain file beside this one. It
# is configured now, so that a toolchain that cannot compile and link (its
# compiler check and the check in ID3STAMP_TOOL_ONLY mode do both) is known
# before anything is built; it is built by the target `id3stamp` and puts its
# binary where the tool always is, ${CMAKE_BINARY_DIR}/id3stamp.
#
# Sets <ok> to whether the sub-build is configured; its log is musl.log.
function(id3stamp_configure_musl ok)
  set(dir ${CMAKE_BINARY_DIR}/musl)
  set(args
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_FUNCTION_LIST_DIR}/x86_64-linux-musl.cmake
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${CMAKE_BINARY_DIR}
    -DCMAKE_EXPORT_COMPILE_COMMANDS=${CMAKE_EXPORT_COMPILE_COMMANDS}
    "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS}"
    -DID3STAMP_TOOL_ONLY=ON
    -DID3STAMP_WERROR=${ID3STAMP_WERROR})
  if(CMAKE_BUILD_TYPE)
    list(APPEND args -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE})
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${dir} -G ${CMAKE_GENERATOR} ${args}
    RESULT_VARIABLE status
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/musl.log
    ERROR_FILE ${CMAKE_BINARY_DIR}/musl.log)
  if(NOT status EQUAL 0)
    set(${ok} FALSE PARENT_SCOPE)
    return()
  endif()

  # Always run: the sub-build knows best whether its binary is up to date.
  # It is four files, built one at a time: a make above cannot lend it its
  # job slots (it would warn), so it is not told of them.
  add_custom_target(id3stamp ALL
    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MAKELEVEL ${CMAKE_COMMAND} --build ${dir} --config $<CONFIG>
    BYPRODUCTS ${CMAKE_BINARY_DIR}/id3stamp
    COMMENT "Building id3stamp for musl in ${dir}"
    VERBATIM)
  set(${ok} TRUE PARENT_SCOPE)
endfunction()
