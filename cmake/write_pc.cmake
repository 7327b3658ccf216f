# Writes zarvel.pc for the prefix being installed into (CMAKE_INSTALL_PREFIX as
# the install sees it). Included from an install(CODE) that sets
# ZARVEL_PC_LIBDIR, ZARVEL_PC_INCLUDEDIR and PROJECT_VERSION; relative
# directories lie below the prefix, absolute ones are kept.
function(zarvel_write_pc template output)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${ZARVEL_PC_${kind}}")
      set(pc_${kind} "${ZARVEL_PC_${kind}}")
    else()
      set(pc_${kind} "\${prefix}/${ZARVEL_PC_${kind}}")
    endif()
  endforeach()
  configure_file("${template}" "${output}" @ONLY)
endfunction()
