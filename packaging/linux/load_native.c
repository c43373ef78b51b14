// Loads a native the way a JVM does, with every symbol bound at once, and finds a native method:
// a pin to a symbol version the C library lacks fails here, naming the symbol, instead of on a
// customer's machine.
//
//   caldrix_load_native LIBRARY
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "caldrix_load_native: %s\n", dlerror());
        return 1;
    }
    if (dlsym(lib, "Java_com_vorant_jpos_tavrolink_caldrix_PortOpen") == NULL) {
        fprintf(stderr, "caldrix_load_native: %s has no PortOpen\n", argv[1]);
        return 1;
    }
    printf("caldrix_load_native: %s loads with every symbol bound\n", argv[1]);
    return 0;
}
