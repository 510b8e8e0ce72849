# Tests of velmora-card.exe: what it imports, and the card program's cases
# under Wine's 64-bit half, on the same fixture hives as on Linux.
find_program(VELMORA_OBJDUMP64 x86_64-w64-mingw32-objdump REQUIRED)
find_program(VELMORA_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

add_test(NAME card_exe_imports_system_dlls_only
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_card_exe.sh ${VELMORA_OBJDUMP64} $<TARGET_FILE:velmora-card>)

add_test(NAME card_exe_under_wine
  COMMAND ${VELMORA_DEBIAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/blackbox.py --card-exe $<TARGET_FILE:velmora-card>
          CardProgram)
set_tests_properties(card_exe_under_wine PROPERTIES TIMEOUT 600)

add_test(NAME card_exe_build_is_reproducible
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducible.sh ${CMAKE_SOURCE_DIR} $<TARGET_FILE:velmora-card>
          ${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake Release velmora-card)

# SIGKILL at every write and flush of a rename (clean and dirty), and the
# exe's own next run after each.
add_test(NAME card_exe_crash_consistency
  COMMAND ${VELMORA_DEBIAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/crash_consistency.py --card-exe
          $<TARGET_FILE:velmora-card>)
set_tests_properties(card_exe_crash_consistency PROPERTIES LABELS crash TIMEOUT 600)

# The commit's model (every failure, every power cut) as the Windows build
# compiles the engine, run under Wine's 64-bit half in a prefix of its own.
add_executable(commit_model commit_model.cpp)
target_compile_options(commit_model PRIVATE -Wall -Wextra -Werror)
target_link_libraries(commit_model PRIVATE velmora_hive)
target_link_options(commit_model PRIVATE -static)
add_test(NAME card_exe_commit_model COMMAND wine $<TARGET_FILE:commit_model>)
set_tests_properties(card_exe_commit_model PROPERTIES LABELS commit TIMEOUT 300
  ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix;WINEARCH=win64;WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
