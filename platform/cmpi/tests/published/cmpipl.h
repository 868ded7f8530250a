/*
 * cmpipl.h - platform selection of the CMPI 2.0 headers, as published.
 *
 * Kept beside the published interface text for the conformance build check; only the
 * Linux/GNU and Windows branches of the published headers are reproduced.
 */
#ifndef _CMPIPL_H_
#define _CMPIPL_H_

#if !defined(CMPI_PLATFORM_LINUX_GENERIC_GNU) && !defined(CMPI_PLATFORM_WIN32_IX86_MSVC)
#  if defined(__linux__) && defined(__GNUC__)
#    define CMPI_PLATFORM_LINUX_GENERIC_GNU 1
#  elif defined(_WIN32) && defined(_MSC_VER)
#    define CMPI_PLATFORM_WIN32_IX86_MSVC 1
#  else
#    error "no CMPI platform defined"
#  endif
#endif

#endif /* _CMPIPL_H_ */
