# The board binary: our code compiled for the Pentium (no CMOV, MMX, SSE or
# FCOMI), linked without mingw's start-up objects, printf or libstdc++, and
# importing only kernel32, advapi32 and msvcrt.
# libstdc++'s configuration header switches stdio to mingw's own printf in
# every C++ file; stdio.h read first, with the switch off, keeps msvcrt's.
set(VELMORA_BOARD_FLAGS -march=pentium -mtune=pentium -mno-mmx -mno-sse -Os
    -fno-asynchronous-unwind-tables -fno-ident -fno-stack-protector
    -D__USE_MINGW_ANSI_STDIO=0 -include stdio.h)
target_compile_options(velmora_name_store PRIVATE ${VELMORA_BOARD_FLAGS})

# Windows' file properties show the product and file version, the copyright
# and the original file name from this resource.
enable_language(RC)
set(VELMORA_EXE_DESCRIPTION "Renames the Galileo board's computer")
set(VELMORA_EXE_NAME velmora.exe)
configure_file(src/platform/win32/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
add_executable(velmora src/front/main.cpp src/front/run.cpp src/platform/win32/entry.cpp ${CMAKE_BINARY_DIR}/version.rc)
target_compile_options(velmora PRIVATE ${VELMORA_LOGIC_FLAGS} ${VELMORA_BOARD_FLAGS})
target_link_libraries(velmora PRIVATE velmora_name_store)
target_link_options(velmora PRIVATE -nostdlib -nostartfiles -s -Wl,--entry=_VelmoraStart
    -Wl,--subsystem,console -Wl,--no-insert-timestamp -Wl,--build-id=none)
# After the static library, so that its references resolve too.
target_link_libraries(velmora PRIVATE msvcrt kernel32 advapi32 gcc)

# dist/velmora.exe and its SHA-256, for copying to the board.
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_SOURCE_DIR}/dist
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:velmora> ${CMAKE_SOURCE_DIR}/dist/velmora.exe
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_SOURCE_DIR}/dist ${CMAKE_COMMAND} -E sha256sum velmora.exe > ${CMAKE_SOURCE_DIR}/dist/velmora.exe.sha256
  DEPENDS velmora
  COMMENT "dist/velmora.exe and dist/velmora.exe.sha256")
