/* A program's own preloaded shim whose close() is a raw system call made
 * through syscall(), as some sandboxes' and profilers' shims are: loaded
 * after netquill-run's interposer, whose close() then reaches this one. */
#define _GNU_SOURCE
#include <sys/syscall.h>
#include <unistd.h>

int close(int fd) { return (int)syscall(SYS_close, fd); }
