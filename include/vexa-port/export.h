/* Export and linkage macros shared by every public header of libvexa-port.
 * The library is built with hidden visibility; only declarations marked
 * VEXA_API reach the dynamic symbol table, always with C linkage. */
#ifndef VEXA_PORT_EXPORT_H
#define VEXA_PORT_EXPORT_H

#if defined(_WIN32)
#  if defined(VEXA_PORT_BUILDING)
#    define VEXA_API __declspec(dllexport)
#  else
#    define VEXA_API __declspec(dllimport)
#  endif
#else
#  define VEXA_API __attribute__((visibility("default")))
#endif

#if defined(__GNUC__) || defined(__clang__)
#  define VEXA_PRINTF(fmt_idx, args_idx) __attribute__((format(printf, fmt_idx, args_idx)))
#else
#  define VEXA_PRINTF(fmt_idx, args_idx)
#endif

#ifdef __cplusplus
#  define VEXA_EXTERN_C_BEGIN extern "C" {
#  define VEXA_EXTERN_C_END }
#  define VEXA_NOEXCEPT noexcept
#else
#  define VEXA_EXTERN_C_BEGIN
#  define VEXA_EXTERN_C_END
#  define VEXA_NOEXCEPT
#endif

#endif /* VEXA_PORT_EXPORT_H */
