# credward behind git against the packaged GitHub CLI configured as git's helper itself.
dovrel_bench(credward_bench credward_bench.cpp)
