# Throughput of the block transform on full blocks, next to memcpy of the same bytes.
add_executable(cipher_bench ${CMAKE_CURRENT_LIST_DIR}/cipher_bench.cpp)
target_link_libraries(cipher_bench PRIVATE vyx_cipher benchmark::benchmark)
