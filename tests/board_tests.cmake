# Tests of the board binary: what it is made of, and how it behaves under Wine.
find_program(VELMORA_OBJDUMP i686-w64-mingw32-objdump REQUIRED)

# The registry helper is a test tool for Wine, never for the board: an
# ordinary mingw program.
add_executable(regvalue wine/regvalue.cpp)
target_compile_options(regvalue PRIVATE -Wall -Wextra -Werror)
target_link_options(regvalue PRIVATE -static-libgcc -static-libstdc++)
target_link_libraries(regvalue PRIVATE advapi32)

add_test(NAME board_instructions_and_imports
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/check_board_exe.py ${VELMORA_OBJDUMP} $<TARGET_FILE:velmora>)
# The check must see what a default mingw build brings (CMOV in its start-up code).
add_test(NAME board_check_refuses_mingw_startup
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/check_board_exe.py ${VELMORA_OBJDUMP} $<TARGET_FILE:regvalue>)
set_tests_properties(board_check_refuses_mingw_startup PROPERTIES PASS_REGULAR_EXPRESSION "CMOV: ")

add_test(NAME board_build_is_reproducible
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducible.sh ${CMAKE_SOURCE_DIR} $<TARGET_FILE:velmora>)

add_test(NAME blackbox_wine
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/blackbox.py
          --wine $<TARGET_FILE:velmora> --helper $<TARGET_FILE:regvalue>)
set_tests_properties(blackbox_wine PROPERTIES TIMEOUT 600)
