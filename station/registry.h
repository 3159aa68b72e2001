// The registry layer under every value the station driver reads or writes. Every access
// names a root (the service key for all of the driver's own values) and an optional subkey;
// each call opens and closes its own key, so there is no state and no lock. PASSIVE_LEVEL only.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

// Subkeys of the service key.
inline constexpr const char16_t* kParametersKey = u"Parameters";
inline constexpr const char16_t* kFirmwareKey = u"Parameters\\Firmware";
// "Parameters\%04lX" of the station index, and the firmware key of a project code.
constexpr size_t kStationKeyChars = 32;
constexpr size_t kFirmwareKeyChars = 64;
constexpr size_t kProjectCodeBytes = 16;

// Reads or writes |name| under root\subkey (root alone when |subkey| is null or empty).
// Write: creates the key when missing and stores |size| bytes of |data| with |type|.
// Read: copies min(stored length, |size|) bytes over |data|, whatever the stored type; a
// stored value longer than |size| + 4 bytes is refused (STATUS_BUFFER_OVERFLOW from the
// registry) and |data| keeps what it held, as it does on every failure.
// Empty name, null data or size 0: STATUS_INVALID_PARAMETER; empty root: STATUS_UNSUCCESSFUL.
NTSTATUS AccessRegistryValue(bool write, const UNICODE_STRING* root, const char16_t* subkey,
                             const char16_t* name, ULONG type, ULONG size, void* data);

// Deletes |name| under root\subkey. The key is created when missing, so a missing key ends
// with the registry's status for a missing value.
NTSTATUS DeleteRegistryValue(const UNICODE_STRING* root, const char16_t* subkey,
                             const char16_t* name);

// The driver-wide key: the service key's "Parameters".
NTSTATUS ReadParameter(const char16_t* name, ULONG type, ULONG size, void* data);
NTSTATUS WriteParameter(const char16_t* name, ULONG type, ULONG size, const void* data);

// A station's key: "Parameters\%04lX" of its index.
NTSTATUS ReadStationValue(ULONG station_index, const char16_t* name, ULONG type, ULONG size,
                          void* data);
NTSTATUS WriteStationValue(ULONG station_index, const char16_t* name, ULONG type, ULONG size,
                           const void* data);
NTSTATUS DeleteStationValue(ULONG station_index, const char16_t* name);

// A firmware key: a subkey of the service key built by FormatFirmwareKey.
NTSTATUS ReadFirmwareValue(const char16_t* firmware_key, const char16_t* name, ULONG type,
                           ULONG size, void* data);
NTSTATUS WriteFirmwareValue(const char16_t* firmware_key, const char16_t* name, ULONG type,
                            ULONG size, const void* data);

// "Parameters\%04lX" of |station_index| into |out| (always terminated).
void FormatStationKey(ULONG station_index, char16_t (&out)[kStationKeyChars]);
// "Parameters\Firmware\" followed by the project code taken as an 8-bit string: up to its
// first zero byte and never past its 16 bytes, each byte widened. Always terminated.
void FormatFirmwareKey(const UCHAR (&project_code)[kProjectCodeBytes],
                       char16_t (&out)[kFirmwareKeyChars]);

}  // namespace vorn::station
