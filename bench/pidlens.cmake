add_executable(minimal_proc_line minimal_proc_line.c)
set_target_properties(minimal_proc_line PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench-support)

dovrel_bench(pidlens_bench pidlens_bench.cpp ${CMAKE_SOURCE_DIR}/tests/pidlens/process_tree.cpp)
target_compile_definitions(pidlens_bench PRIVATE DOVREL_MINIMAL_PROC_LINE="$<TARGET_FILE:minimal_proc_line>")
add_dependencies(pidlens_bench minimal_proc_line)
