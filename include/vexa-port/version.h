/* Version of libvexa-port. The numbers follow project(VERSION) in the
 * top-level CMakeLists.txt, which refuses to configure when they differ, so a
 * header and a library of one install always agree. The major number is the
 * shared library's soname version: it changes whenever the C ABI does. */
#ifndef VEXA_PORT_VERSION_H
#define VEXA_PORT_VERSION_H

#define VEXA_PORT_VERSION_MAJOR 0
#define VEXA_PORT_VERSION_MINOR 1
#define VEXA_PORT_VERSION_PATCH 0
#define VEXA_PORT_VERSION_STRING "0.1.0"

/* One number for compile-time comparisons: 0x00MMmmpp. */
#define VEXA_PORT_VERSION_NUMBER                                                                             \
    ((VEXA_PORT_VERSION_MAJOR << 16) | (VEXA_PORT_VERSION_MINOR << 8) | VEXA_PORT_VERSION_PATCH)

#endif /* VEXA_PORT_VERSION_H */
