# Installs the board binary and its SHA-256 into share/velmora, when the board
# binary has been built; a host-only install is complete without it.
if(NOT EXISTS "${VELMORA_BOARD_EXE}")
  message(STATUS "Not installing the board binary: ${VELMORA_BOARD_EXE} has not been built")
  return()
endif()
file(SHA256 "${VELMORA_BOARD_EXE}" digest)
file(MAKE_DIRECTORY "${VELMORA_STAGING}")
configure_file("${VELMORA_BOARD_EXE}" "${VELMORA_STAGING}/velmora.exe" COPYONLY)
# The format sha256sum -c reads.
file(WRITE "${VELMORA_STAGING}/velmora.exe.sha256" "${digest}  velmora.exe\n")
file(INSTALL "${VELMORA_STAGING}/velmora.exe" "${VELMORA_STAGING}/velmora.exe.sha256"
     DESTINATION "${VELMORA_SHARE}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
