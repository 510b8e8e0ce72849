# velmora-card.exe: the Linux velmora-card's sources with the Windows file
# layer, code pages and console beside them; nothing else forked. Static, so
# that it imports system DLLs only.
set(host ${CMAKE_SOURCE_DIR}/src/platform/host)
enable_language(RC)
set(VELMORA_EXE_DESCRIPTION "Shows and renames the Galileo board's computer name on its card")
set(VELMORA_EXE_NAME velmora-card.exe)
configure_file(src/platform/win32/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
add_subdirectory(src/hive)
add_executable(velmora-card ${CMAKE_BINARY_DIR}/version.rc
  src/card/card_main.cpp src/card/card_locate.cpp src/card/card_status.cpp src/card/card_text.cpp
  src/card/card_system_win32.cpp src/card/card_reader_win32.cpp src/card/card_batch.cpp
  src/front/run.cpp
  ${host}/registry.cpp ${host}/store_common.cpp ${host}/store_win32.cpp ${host}/directory_store_win32.cpp
  ${host}/code_pages_win32.cpp ${host}/hive_report.cpp ${host}/hive_store.cpp)
target_include_directories(velmora-card PRIVATE ${host} src/front)
target_compile_options(velmora-card PRIVATE -Wall -Wextra -Werror)
target_link_libraries(velmora-card PRIVATE velmora_name_store velmora_hive)
target_link_options(velmora-card PRIVATE -municode -static -s -Wl,--no-insert-timestamp -Wl,--build-id=none)

# dist/velmora-card-win64.zip and its SHA-256, for Windows users to download:
# the same bytes from the same sources.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_SOURCE_DIR}/dist
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/make_zip.py ${CMAKE_SOURCE_DIR}/dist/velmora-card-win64.zip
          $<TARGET_FILE:velmora-card> ${CMAKE_SOURCE_DIR}/LICENSE
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_SOURCE_DIR}/dist ${CMAKE_COMMAND} -E sha256sum velmora-card-win64.zip
          > ${CMAKE_SOURCE_DIR}/dist/velmora-card-win64.zip.sha256
  DEPENDS velmora-card
  COMMENT "dist/velmora-card-win64.zip and dist/velmora-card-win64.zip.sha256")
