/* A stand-in for code that another user leaves for a root program to load:
 * when loaded, it writes the file named by its build (MARKER_PATH). GIO loads
 * it as a module; it also has the entry points a GIO module needs. */

#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveMark(void) {
    const int fd = open(MARKER_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

__attribute__((visibility("default"))) void g_io_module_load(void* module) { (void)module; }
__attribute__((visibility("default"))) void g_io_module_unload(void* module) { (void)module; }
