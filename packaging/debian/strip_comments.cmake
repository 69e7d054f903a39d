# Run by CPack on the staged files before it makes the package: the
# programs lose the compiler's identification (.comment and .note), as
# Debian's own builds strip it. The build's objcopy (CMAKE_OBJCOPY, the
# target's in a build for another CPU) reads and writes the programs.
set(TRELVOX_OBJCOPY "${CPACK_OBJCOPY_EXECUTABLE}")
if(NOT TRELVOX_OBJCOPY)
  find_program(TRELVOX_OBJCOPY objcopy REQUIRED)
endif()
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/sbin/*")
if(NOT programs)
  message(FATAL_ERROR "no programs staged in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(program ${programs})
  execute_process(COMMAND ${TRELVOX_OBJCOPY} --remove-section=.comment --remove-section=.note
                          ${program} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
