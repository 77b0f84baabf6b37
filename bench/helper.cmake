add_executable(minimal_reply minimal_reply.cpp)
set_target_properties(minimal_reply PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench-support)

dovrel_bench(helper_bench helper_bench.cpp)
target_compile_definitions(helper_bench PRIVATE
    DOVREL_MINIMAL_REPLY="$<TARGET_FILE:minimal_reply>")
add_dependencies(helper_bench minimal_reply)
