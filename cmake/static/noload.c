/*
 * The run-time loader functions of a statically linked program.
 *
 * SQLite's extension loading is the only caller of dlopen in the board's
 * programs, and none of them loads an extension. glibc's own dlopen in a
 * static program needs, at run time, the shared C library of the machine
 * that linked it, which a board does not have. The link sends SQLite's
 * calls here instead (ld --wrap, cmake/Static.cmake): every attempt to load
 * code fails with a message.
 */
#include <stddef.h>

void *__wrap_dlopen(const char *file, int mode)
{
    (void)file;
    (void)mode;
    return NULL;
}

char *__wrap_dlerror(void)
{
    static char message[] = "loading code at run time is not possible in this statically linked program";
    return message;
}

void *__wrap_dlsym(void *handle, const char *name)
{
    (void)handle;
    (void)name;
    return NULL;
}

int __wrap_dlclose(void *handle)
{
    (void)handle;
    return 0;
}
