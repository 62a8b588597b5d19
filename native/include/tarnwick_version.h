/*
 * tarnwick: the version of the library this header belongs to. Included by
 * tarnwick.h; a host compares TARNWICK_VERSION_STRING with tarnwick_version()
 * to tell the header it compiled against from the library it loaded.
 *
 * Kept in the source tree, so that the header compiles wherever it is copied
 * to; the build refuses to configure unless these numbers are the project's
 * version (cmake/TarnwickVersion.cmake).
 */
#ifndef TARNWICK_VERSION_H
#define TARNWICK_VERSION_H

#define TARNWICK_VERSION_MAJOR 0
#define TARNWICK_VERSION_MINOR 0
#define TARNWICK_VERSION_PATCH 2
/*! "MAJOR.MINOR.PATCH", the text tarnwick_version() returns. */
#define TARNWICK_VERSION_STRING "0.0.2"

#endif /* TARNWICK_VERSION_H */
