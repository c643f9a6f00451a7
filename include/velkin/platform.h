/* Calling convention and export marking shared by the Velkin public headers. */
#ifndef VELKIN_PLATFORM_H
#define VELKIN_PLATFORM_H

/* The libraries were first built for 32-bit Windows, where every export and callback is
 * __stdcall. Elsewhere there is one calling convention and the macro is empty. */
#if defined(_WIN32) && !defined(_WIN64)
#define VELKIN_CALL __stdcall
#else
#define VELKIN_CALL
#endif

/* On Windows the names are exported by each DLL's .def file (no decoration); on ELF the
 * libraries are built with hidden visibility and only these functions are made visible. */
#if defined(_WIN32)
#define VELKIN_EXPORT
#elif defined(VELKIN_BUILDING_LIBRARY)
#define VELKIN_EXPORT __attribute__((visibility("default")))
#else
#define VELKIN_EXPORT
#endif

#ifdef __cplusplus
#define VELKIN_EXTERN_C extern "C"
#else
#define VELKIN_EXTERN_C
#endif

#endif
