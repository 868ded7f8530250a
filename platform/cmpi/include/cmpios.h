/*
 * cmpios.h - operating-system dependent definitions of the Common Manageability
 * Programming Interface (CMPI), version 2.0, for POSIX systems.
 */
#ifndef _CMPIOS_H_
#define _CMPIOS_H_

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#define CMPI_THREAD_RETURN void *
#define CMPI_THREAD_TYPE void *
#define CMPI_MUTEX_TYPE void *
#define CMPI_COND_TYPE void *
#define CMPI_THREAD_CDECL
#define CMPI_THREAD_KEY_TYPE pthread_key_t

#if defined(__GNUC__) && __GNUC__ >= 4
#define CMPI_EXPORT __attribute__((visibility("default")))
#define CMPI_IMPORT
#else
#define CMPI_EXPORT
#define CMPI_IMPORT
#endif

/* Functions the MB looks up by name (the MI factories) are exported even when a
 * library is built with hidden visibility by default. */
#ifdef __cplusplus
#define CMPI_EXTERN_C extern "C" CMPI_EXPORT
#else
#define CMPI_EXTERN_C CMPI_EXPORT
#endif

#define CMPI_DECLSPEC CMPI_EXPORT

#endif /* _CMPIOS_H_ */
