#Process records from / proc, standing in for libproc; linked by pidlens alone.
add_library(dovrel_process_record STATIC process_record.cpp)
