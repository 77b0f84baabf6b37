/* The baseline for a pidlens run: the least a C program can do to read one /proc file of a process and
 * print a line. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/stat", argv[1]);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 3;
    char text[1024];
    ssize_t count = read(fd, text, sizeof text - 1);
    close(fd);
    if (count <= 0)
        return 3;
    printf("{\"bytes\":%zd}\n", count);
    return 0;
}
