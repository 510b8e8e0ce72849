# Installs the Windows binaries and their SHA-256 into share/velmora, each
# when it has been built: the board's velmora.exe and the PC's
# velmora-card.exe. A host-only install is complete without them.
foreach(exe IN LISTS VELMORA_WINDOWS_EXES)
  get_filename_component(name "${exe}" NAME)
  if(NOT EXISTS "${exe}")
    message(STATUS "Not installing ${name}: ${exe} has not been built")
    continue()
  endif()
  file(SHA256 "${exe}" digest)
  file(MAKE_DIRECTORY "${VELMORA_STAGING}")
  configure_file("${exe}" "${VELMORA_STAGING}/${name}" COPYONLY)
  # The format sha256sum -c reads.
  file(WRITE "${VELMORA_STAGING}/${name}.sha256" "${digest}  ${name}\n")
  file(INSTALL "${VELMORA_STAGING}/${name}" "${VELMORA_STAGING}/${name}.sha256"
       DESTINATION "${VELMORA_SHARE}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
