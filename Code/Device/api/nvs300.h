/*
 * The NVS300 device library: the one header a host includes.
 *
 * Every function that talks to the instrument returns true when the instrument accepted
 * the request and false otherwise, also when no instrument is connected; value getters
 * return 0 when the exchange fails. No exception crosses this interface.
 *
 * Functions declared inside the extern "C" block are exported under their plain names.
 * The factory and service functions further below keep C++ linkage: the Linux builds
 * export them under their decorated names, which encode the parameter types, so those
 * types must not change.
 */
#ifndef NVS300_H
#define NVS300_H

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#include <stdbool.h>
#endif

#if defined(_WIN32)
#  ifdef NVS_BUILDING_LIBRARY
#    define ORV_API __declspec(dllexport)
#  else
#    define ORV_API __declspec(dllimport)
#  endif
#else
#  define ORV_API __attribute__((visibility("default")))
#endif

/* ---- Host-facing records ---------------------------------------------------------- */

/* ---- Exported functions (plain names) ---------------------------------------------- */
#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

/* ---- Factory and service functions (decorated names) -------------------------------- */

#endif /* NVS300_H */
