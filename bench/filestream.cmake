# filestream_bench: copies a large file through CFileStream the way the file operations do
# (16-byte reads, 1-byte writes) against a plain 64 KiB read/write loop, in the same run.
add_executable(filestream_bench ${CMAKE_CURRENT_LIST_DIR}/filestream_bench.cpp)
target_link_libraries(filestream_bench PRIVATE vyx_filestream)
