/* BREVANE_API marks what libbrevane.so exports: the public functions of
 * brevane.h and brevane/brevane.hpp. The library is built with hidden
 * visibility, so nothing else in it is reachable. Valid C and C++. */
#ifndef BREVANE_EXPORT_H
#define BREVANE_EXPORT_H

#if defined(_WIN32)
#if defined(BREVANE_BUILDING_SHARED)
#define BREVANE_API __declspec(dllexport)
#else
#define BREVANE_API
#endif
#else
#define BREVANE_API __attribute__((visibility("default")))
#endif

#endif /* BREVANE_EXPORT_H */
