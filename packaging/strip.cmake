# Run by CPack on the staged files before it packs them: strips the programs as Debian's own tools
# do (dh_strip), the compiler's .comment and .note sections included.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no programs staged in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin")
endif()
foreach(program ${programs})
  execute_process(COMMAND strip --remove-section=.comment --remove-section=.note --strip-unneeded "${program}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
