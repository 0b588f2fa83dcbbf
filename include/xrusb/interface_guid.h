/* The device interface class every xrusb device registers unless DisableDefaultInterface is
 * set. Include it after the header that declares GUID (<windows.h>, or platform/platform.h in
 * the driver). */
#ifndef XRUSB_INTERFACE_GUID_H
#define XRUSB_INTERFACE_GUID_H

#define XRUSB_DEFAULT_INTERFACE_GUID_STRING "{DB293BE4-1F5D-40E6-9A6F-4C41D12A339E}"
#define XRUSB_DEFAULT_INTERFACE_GUID_INIT \
  { 0xDB293BE4, 0x1F5D, 0x40E6, { 0x9A, 0x6F, 0x4C, 0x41, 0xD1, 0x2A, 0x33, 0x9E } }

#ifdef __cplusplus
inline constexpr GUID XRUSB_DEFAULT_INTERFACE_GUID = XRUSB_DEFAULT_INTERFACE_GUID_INIT;
#elif defined(__GNUC__)
static const GUID XRUSB_DEFAULT_INTERFACE_GUID __attribute__((unused)) = XRUSB_DEFAULT_INTERFACE_GUID_INIT;
#else
static const GUID XRUSB_DEFAULT_INTERFACE_GUID = XRUSB_DEFAULT_INTERFACE_GUID_INIT;
#endif

#endif /* XRUSB_INTERFACE_GUID_H */
