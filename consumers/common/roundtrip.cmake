# The consumer projects' one program, linked the way outside projects link
# libtrellum, whether installed or taken as a subdirectory.
add_executable(roundtrip "${CMAKE_CURRENT_LIST_DIR}/roundtrip.c")
target_link_libraries(roundtrip PRIVATE trellum::trellum)
target_compile_options(roundtrip PRIVATE -Wall -Wextra -Werror)

enable_testing()
add_test(NAME roundtrip COMMAND roundtrip)
