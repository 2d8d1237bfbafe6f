# The headless harness: runs the real Encrypt and Decrypt operations from the command line and
# measures their throughput against a plain copy.
add_executable(vyx_bench ${CMAKE_CURRENT_LIST_DIR}/vyx_bench.cpp)
# Its headless window is the tests' own (tests/support).
target_link_libraries(vyx_bench PRIVATE vyx_fileops vyx_test_support)
# plain_loop: the same cipher in a plain 1 MiB read, transform, write loop; the reference that
# compare.py sets the program against.
add_executable(plain_loop ${CMAKE_CURRENT_LIST_DIR}/plain_loop.cpp)
target_link_libraries(plain_loop PRIVATE vyx_cipher)
