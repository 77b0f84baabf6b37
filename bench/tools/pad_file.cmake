# Copies SOURCE to OUTPUT with mode 755, padded with zero bytes to SIZE bytes.
#   cmake -DSOURCE=<file> -DOUTPUT=<file> -DSIZE=<bytes> -P pad_file.cmake
file(SIZE "${SOURCE}" size)
math(EXPR padding "${SIZE} - ${size}")
if(padding LESS 0)
    message(FATAL_ERROR "${SOURCE} is already larger than ${SIZE} bytes")
endif()
file(COPY_FILE "${SOURCE}" "${OUTPUT}.new")
execute_process(COMMAND sh -c "head -c ${padding} /dev/zero >> \"$1\"" sh "${OUTPUT}.new"
                RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot pad ${OUTPUT}")
endif()
file(CHMOD "${OUTPUT}.new" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                       WORLD_READ WORLD_EXECUTE)
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
