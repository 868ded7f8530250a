/*
 * cmpios.h - operating-system dependent definitions of the CMPI 2.0 headers, as
 * published (Linux/GNU and Windows branches).
 */
#ifndef _CMPIOS_H_
#define _CMPIOS_H_

#include "cmpipl.h"
#include <stdlib.h>   /* size_t */

#define CMPI_THREAD_RETURN      void*
#define CMPI_THREAD_TYPE        void*
#define CMPI_MUTEX_TYPE         void*
#define CMPI_COND_TYPE          void*

#if defined(CMPI_PLATFORM_WIN32_IX86_MSVC)
#  define CMPI_THREAD_CDECL    __stdcall
#  define CMPI_THREAD_KEY_TYPE unsigned long int
#  ifndef HAVE_STRUCT_TIMESPEC
#    define HAVE_STRUCT_TIMESPEC
struct timespec
{
  long tv_sec;
  long tv_nsec;
};
#  endif
#else
#  define CMPI_THREAD_CDECL
#  define CMPI_THREAD_KEY_TYPE unsigned long int
#endif

/* Define CMPI_EXPORT */
#if defined(CMPI_PLATFORM_WIN32_IX86_MSVC)
#  define CMPI_EXPORT __declspec(dllexport)
#  define CMPI_IMPORT __declspec(dllimport)
#elif defined(CMPI_PLATFORM_LINUX_GENERIC_GNU) && (__GNUC__ >= 4)
#  define CMPI_EXPORT __attribute__((visibility("default")))
#  define CMPI_IMPORT /* empty */
#else
#  define CMPI_EXPORT /* empty */
#  define CMPI_IMPORT /* empty */
#endif

/* Define CMPI_EXTERN_C */
#ifdef __cplusplus
#  define CMPI_EXTERN_C extern "C" CMPI_EXPORT
#else
#  define CMPI_EXTERN_C CMPI_EXPORT
#endif

#endif /* _CMPIOS_H_ */
