# The manual page and the bash completion, written at build time from
# `velquor __reference` (every command's own help text as JSON) by
# generate_docs.cmake, so neither can disagree with --help.

set(VELQUOR_MANUAL_PAGE ${PROJECT_BINARY_DIR}/doc/velquor.1)
set(VELQUOR_BASH_COMPLETION ${PROJECT_BINARY_DIR}/doc/velquor.bash)

add_custom_command(
  OUTPUT ${VELQUOR_MANUAL_PAGE} ${VELQUOR_BASH_COMPLETION}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND ${CMAKE_COMMAND} -DVELQUOR=$<TARGET_FILE:velquor> -DMANUAL=${VELQUOR_MANUAL_PAGE}
          -DCOMPLETION=${VELQUOR_BASH_COMPLETION} -P ${PROJECT_SOURCE_DIR}/cmake/generate_docs.cmake
  DEPENDS velquor ${PROJECT_SOURCE_DIR}/cmake/generate_docs.cmake
          ${PROJECT_SOURCE_DIR}/cmake/velquor-completion.bash.in
  COMMENT "Writing the manual page and the bash completion"
  VERBATIM)
add_custom_target(velquor_docs ALL DEPENDS ${VELQUOR_MANUAL_PAGE} ${VELQUOR_BASH_COMPLETION})
