dovrel_bench(pidlens_bench pidlens_bench.cpp ${CMAKE_SOURCE_DIR}/tests/pidlens/process_tree.cpp)
