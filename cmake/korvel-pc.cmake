# Runs at install time, when the prefix is known (`cmake --install build
# --prefix P` may name another than the one configured): writes korvel.pc for
# that prefix. Set by the caller: KORVEL_PC_TEMPLATE, KORVEL_PC_OUTPUT,
# KORVEL_LIBDIR and KORVEL_INCLUDEDIR (as configured, relative to the prefix
# or absolute), PROJECT_VERSION and KORVEL_FFMPEG_MODULES.
set(KORVEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${KORVEL_${dir}}")
    set(KORVEL_PC_${dir} "${KORVEL_${dir}}")
  else()
    set(KORVEL_PC_${dir} "\${prefix}/${KORVEL_${dir}}")
  endif()
endforeach()
configure_file("${KORVEL_PC_TEMPLATE}" "${KORVEL_PC_OUTPUT}" @ONLY)
