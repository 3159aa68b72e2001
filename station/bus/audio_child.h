// The audio function module's object for one audio child (function 3) or stand-alone
// microphone child (function 8): the chip's audio records read at creation, the USB Audio
// 1.0 descriptors built from them, the class-request state (rates, volumes, mute) and the
// isochronous streaming state of its render and capture streams.
//
// The chip's records are little-endian byte layouts; the packed structs below give them
// their names (this driver runs on little-endian machines only).
#pragma once

#include <cstddef>

#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/timer.h"
#include "platform/kernel/usb.h"
#include "protocol/bus_message.h"
#include "station/bus/function_modules.h"

namespace vorn::station {

struct JackRecord;

inline constexpr ULONG kTagAudioChild = PoolTag("uaa_");
inline constexpr ULONG kTagAudioRequest = PoolTag("QJob");

// ---------------------------------------------------------------------------------------
// Settings: read from the driver's Parameters key when the module registers.

struct AudioSettings {
  ULONG RenderStartOffset;   // ms after the current frame at which a (re)started render stream begins
  ULONG CaptureStartOffset;  // the same for capture
  ULONG RenderPreloadTime;   // render preload in ms
  ULONG CapturePreloadTime;  // capture preload in ms
  ULONG DumpInterval;        // read, nothing depends on it
  UCHAR ServiceMode;         // 1: one 1 ms timer serves both streams; 0: a thread per stream; else neither
  UCHAR RenderConsumeMode;   // non-zero: render data is accepted and timed but not sent
  UCHAR RenderSwVolume;      // 1 logarithmic software gain, 2 linear software gain, else chip steps
};

inline constexpr ULONG kAudioDefaultStartOffset = 6;
inline constexpr ULONG kAudioDefaultPreloadTime = 40;
inline constexpr ULONG kAudioDefaultDumpInterval = 5000;
inline constexpr UCHAR kAudioServiceTimer = 1;
inline constexpr UCHAR kAudioServiceThreads = 0;

// Render volume modes (AudioStream::VolumeMode); any other value sends steps to the chip.
inline constexpr UCHAR kVolumeChip = 0;
inline constexpr UCHAR kVolumeLogGain = 1;
inline constexpr UCHAR kVolumeLinearGain = 2;

// The module's settings, filled by AudioFunctionInit.
extern AudioSettings g_AudioSettings;

// Stores the defaults in |settings| (the volume mode from |os_version|: linear gain below
// 6.0, logarithmic from 6.0 on), then reads each "Audio..." value over its default.
void LoadAudioSettings(AudioSettings* settings, ULONG os_version);

// ---------------------------------------------------------------------------------------
// The chip's audio vendor requests (recipient device, wIndex = the stream's jack index).

inline constexpr UCHAR kReqReadDeviceValue = 0xB0;
inline constexpr USHORT kDeviceValueCmdVersion = 4;  // item (wIndex) of ReqReadDeviceValue
inline constexpr UCHAR kReqReadJackInfo = 0xA1;
inline constexpr UCHAR kReqReadAudioUnit = 0xA2;
inline constexpr UCHAR kReqReadAudioUnitValues = 0xA3;
inline constexpr UCHAR kReqReadJackState = 0xA4;
inline constexpr UCHAR kReqReadAudioFormats = 0xA5;
inline constexpr UCHAR kReqSetAudioFeature = 0x23;
inline constexpr UCHAR kReqSetAudioStreamState = 0x24;

inline constexpr ULONG kAudioStreamCount = 2;
inline constexpr ULONG kRenderStream = 0;
inline constexpr ULONG kCaptureStream = 1;
inline constexpr ULONG kAudioUnitKinds = 4;
inline constexpr UCHAR kUnitRenderVolume = 0;
inline constexpr UCHAR kUnitMute = 1;
inline constexpr UCHAR kUnitKind2 = 2;  // kept, unused
inline constexpr UCHAR kUnitCaptureVolume = 3;
inline constexpr ULONG kAudioMaxChannels = 8;
inline constexpr ULONG kAudioMaxRates = 1024;
// The most distinct rates a stream announces: each takes 3 bytes of the format type
// descriptor, whose length is one byte (8 + 3 × 82 = 254). Rates past them are not offered.
inline constexpr ULONG kAudioMaxDescriptorRates = 82;
// The most format records a stream may have; a chip announcing more gets no stream.
inline constexpr ULONG kAudioMaxFormats = 1024;

#pragma pack(push, 1)
// Stream record (ReqReadJackInfo, 16 bytes).
struct AudioStreamRecord {
  UCHAR StreamIndex;    // 0 render, 1 capture; other values: no stream
  UCHAR Capabilities;   // bit 0 jack detection capable
  USHORT UnitCount;
  USHORT FormatCount;
  USHORT DefaultFormat;
  UCHAR Unused[4];
  ULONG StreamTag;      // non-zero for the stream to exist; echoed in the stream state record
};
static_assert(sizeof(AudioStreamRecord) == 16);

// Format record (ReqReadAudioFormats, 32 bytes each).
struct AudioFormatRecord {
  ULONG SampleRate;     // Hz, non-zero
  UCHAR Unused4[2];
  UCHAR BitsPerSample;  // non-zero
  UCHAR Channels;       // 1-8
  UCHAR Unused8[24];
};
static_assert(sizeof(AudioFormatRecord) == 32);

// Unit record (ReqReadAudioUnit, 16 bytes). Kind 0 (render volume): i32 at 8 the value sent
// for muted channels, i32 at 12 the value set at creation in software-gain modes. Kind 3
// (capture volume): i16 at 4 resolution, i16 at 8 minimum (and muted value), i16 at 12
// maximum, in 1/256 dB. The kept copy carries the unit's index in byte 1.
struct AudioUnitRecord {
  UCHAR Kind;
  UCHAR UnitIndex;
  UCHAR Unused2[2];
  LONG Value4;
  LONG Value8;
  LONG Value12;
};
static_assert(sizeof(AudioUnitRecord) == 16);
inline LONG RenderMutedValue(const AudioUnitRecord& u) { return u.Value8; }
inline LONG RenderInitialValue(const AudioUnitRecord& u) { return u.Value12; }
inline SHORT CaptureResolution(const AudioUnitRecord& u) { return static_cast<SHORT>(u.Value4); }
inline SHORT CaptureMinimum(const AudioUnitRecord& u) { return static_cast<SHORT>(u.Value8); }
inline SHORT CaptureMaximum(const AudioUnitRecord& u) { return static_cast<SHORT>(u.Value12); }

// Feature record (ReqReadAudioUnitValues and ReqSetAudioFeature, 40 bytes): bit i of the
// mask means channel i + 1; one value per channel (volume step, 1/256 dB or mute flag).
struct AudioFeatureRecord {
  UCHAR ChannelMask;
  UCHAR Unused1[7];
  LONG Values[kAudioMaxChannels];
};
static_assert(sizeof(AudioFeatureRecord) == 40);

// Stream state record (ReqSetAudioStreamState, 16 bytes).
struct AudioStreamStateRecord {
  UCHAR Active;        // 1 while alternate setting 1 is selected and a rate was set
  UCHAR Unused1;
  USHORT FormatIndex;
  UCHAR Unused4[8];
  ULONG StreamTag;     // the stream record's
};
static_assert(sizeof(AudioStreamStateRecord) == 16);
#pragma pack(pop)

// ---------------------------------------------------------------------------------------
// Request records of the streaming path: one per queued isochronous URB or render send.

enum AudioRequestKind : ULONG {
  kAudioRenderUrb = 0,
  kAudioCaptureUrb = 1,
  kAudioRenderSend = 2,
};
inline constexpr ULONG kAudioQueueCount = 3;

struct AudioUrbHold {
  IRP* Irp;
  URB* Urb;
  PVOID Buffer;  // the mapped transfer buffer
};

struct AudioRequest {
  LIST_ENTRY FreeLink;
  LIST_ENTRY PendingLink;
  ULONG Kind;  // AudioRequestKind
  union Payload {
    AudioUrbHold Urb;                  // kinds 0 and 1
    protocol::BusMessageHeader Header;  // kind 2 (Type 3 set at allocation)
    Payload() : Urb{} {}
  } Hold;
  ULONGLONG DueFrame;
};

struct AudioRequestQueue {
  KSPIN_LOCK Lock;
  LIST_ENTRY FreeList;
  LIST_ENTRY PendingList;
  ULONG Kind;
  volatile LONG PendingCount;  // interlocked
};

// ---------------------------------------------------------------------------------------
// One stream (0 render, 1 capture).

struct AudioStream {
  // Records read from the chip, and the state record last sent.
  AudioStreamRecord Record;
  AudioStreamStateRecord LastState;
  AudioUnitRecord Units[kAudioUnitKinds];        // by kind
  AudioFeatureRecord Features[kAudioUnitKinds];  // by kind
  AudioFormatRecord* Formats;                    // Record.FormatCount of them
  ULONG* Rates;                                  // the distinct sample rates, in record order
  ULONG CurrentRate;
  ULONG BytesPer10Ms;
  ULONG BytesPerMs;
  UCHAR FractionalMs;                            // bytes per second is not a multiple of 1000
  ULONG PreloadTime;                             // ms
  ULONG PreloadBytes;
  LONG Gains[kAudioMaxChannels];                 // Q16, 0x10000 = unity; aligned 32-bit stores
  SHORT Volumes[kAudioMaxChannels];              // 1/256 dB
  USHORT ChannelConfig;
  USHORT RateCount;
  UCHAR Present;
  UCHAR MaxChannels;
  UCHAR CurrentChannels;
  UCHAR MaxBits;
  UCHAR CurrentBits;
  UCHAR BytesPerFrame;
  UCHAR InterfaceNumber;                         // 1 or 2; 0 while the stream is not usable
  UCHAR Mute;
  UCHAR StreamIndex;
  UCHAR JackIndex;
  UCHAR AlternateSetting;
  UCHAR VolumeMode;
  USHORT CurrentFormat;                          // index of the current format record
  ULONG MaxRate;

  // Streaming state.
  PKSTART_ROUTINE ThreadRoutine;
  KEVENT StopEvent;   // notification
  KEVENT WorkEvent;   // synchronization
  PKTHREAD Thread;
  KSPIN_LOCK Lock;
  UCHAR* Ring;
  ULONG RingBytes;                               // two seconds of the largest format
  ULONGLONG AcceptedBytes;                       // of the URBs accepted since the restart
  ULONG AcceptedMs;
  ULONG RestartTime;
  ULONG ExpectedFrame;
  ULONG StartFrame;
  ULONG StartOffset;                             // ms
  ULONG ReadOffset;
  ULONG WriteOffset;
  LONG Running;
  UCHAR PreloadPending;                          // render
};

// ---------------------------------------------------------------------------------------
// One audio or microphone child.

struct AudioChild {
  ChildPdoExtension* Child;
  ULONG ChildKey;
  const WCHAR* ManufacturerString;
  const WCHAR* ProductString;
  ULONG ManufacturerLength;
  ULONG ProductLength;
  UCHAR DeviceDescriptor[18];
  UCHAR* ConfigDescriptor;
  USBD_INTERFACE_INFORMATION** InterfaceList;
  KMUTEX StateMutex;  // serialises Start and Stop
  AudioRequestQueue Queues[kAudioQueueCount];  // by AudioRequestKind
  AudioStream Streams[kAudioStreamCount];
  KDPC TimerDpc;
  KTIMER Timer;  // 1 ms periodic
  ULONG VendorCmdVersion;
  USHORT ConfigTotalLength;
  UCHAR InterfaceCount;      // 1 + streams
  UCHAR InterfaceInfoCount;  // 1 + 2 per stream
  UCHAR Initialized;         // at least one stream exists
  UCHAR Gone;
  UCHAR Started;
  UCHAR TimerRunning;
};

// Sizes of the interface information records: the control interface and alternate 0 have no
// pipe, alternate 1 one isochronous pipe.
inline constexpr USHORT kAudioInterfaceInfoBytes = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
inline constexpr USHORT kAudioStreamingInfoBytes =
    offsetof(USBD_INTERFACE_INFORMATION, Pipes) + sizeof(USBD_PIPE_INFORMATION);

inline constexpr UCHAR kRenderEndpoint = 0x01;
inline constexpr UCHAR kCaptureEndpoint = 0x82;
inline constexpr USHORT kAudioPacketBytes = 200;
inline constexpr UCHAR kRenderFeatureUnit = 9;
inline constexpr UCHAR kCaptureFeatureUnit = 10;

// The child's stream of |endpoint| (0x01 render, 0x82 capture), else null.
inline AudioStream* StreamOfEndpoint(AudioChild* a, UCHAR endpoint) {
  if (endpoint == kRenderEndpoint) return &a->Streams[kRenderStream];
  if (endpoint == kCaptureEndpoint) return &a->Streams[kCaptureStream];
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Settings, records, descriptors and class requests (audio_function.cpp).

NTSTATUS AudioCreate(PVOID* out, const ModuleCreateInfo* info);
void AudioDestroy(PVOID ctx);
NTSTATUS AudioGetString(PVOID ctx, ULONG* usbd_status, UCHAR index, USHORT language,
                        const WCHAR** text, ULONG* byte_length);
USBD_INTERFACE_INFORMATION** AudioGetInterfaceList(PVOID ctx, UCHAR configuration_index,
                                                   UCHAR* count);
NTSTATUS AudioSelectInterface(PVOID ctx, ULONG* usbd_status, UCHAR interface_number,
                              UCHAR alternate_setting);
NTSTATUS AudioPipeRequest(PVOID ctx, ULONG* usbd_status, USBD_INTERFACE_INFORMATION* interface,
                          USBD_PIPE_INFORMATION* pipe, UCHAR* action);
NTSTATUS AudioClassRequest(PVOID ctx, ULONG* usbd_status, ULONG transfer_flags,
                           USHORT urb_function, UCHAR request, USHORT value, USHORT index,
                           USHORT reserved, PVOID buffer, ULONG length, ULONG* transferred);

// Reads VendorCmdVersion and every stream's records; |jacks| are the station's two jack
// records (null: the module asks the chip itself).
NTSTATUS ReadAudioCapabilities(AudioChild* a, const JackRecord* jacks);
// A VENDOR_DEVICE request through the child's control transfer service, without time-out.
// |direction| is USBD_TRANSFER_DIRECTION_IN or _OUT.
NTSTATUS AudioDeviceRequest(AudioChild* a, ULONG direction, UCHAR request, USHORT value,
                            USHORT index, ULONG length, PVOID buffer, ULONG* transferred);
// Sends |record| for |unit_index| (nothing while VendorCmdVersion is 0).
NTSTATUS AudioSetFeature(AudioChild* a, AudioStream* s, UCHAR unit_index,
                         const AudioFeatureRecord* record);
// Sends |record| (only when VendorCmdVersion > 1) and keeps it as the last sent on success.
NTSTATUS AudioSetStreamState(AudioChild* a, AudioStream* s, const AudioStreamStateRecord* record);
// Sets the stream's byte rates and preload for a format.
void SetStreamFormat(AudioChild* a, AudioStream* s, ULONG rate, ULONG bits, ULONG channels);
// The ring and timing state of a stream back to a fresh start (at SELECT_INTERFACE
// alternate 1): offsets and counts 0, the ring cleared, so the next URB restarts the timing.
void ResetAudioStreamTiming(AudioStream* s);
// An empty queue of |kind|.
void InitAudioQueue(AudioRequestQueue* q, ULONG kind);

// ---------------------------------------------------------------------------------------
// Streaming (audio_stream*.cpp).

NTSTATUS AudioStart(PVOID ctx);
void AudioStop(PVOID ctx);
NTSTATUS AudioIsochTransfer(PVOID ctx, IRP* irp, URB* urb, bool* pending,
                            USBD_INTERFACE_INFORMATION* interface, USBD_PIPE_INFORMATION* pipe,
                            PVOID buffer);
NTSTATUS AudioRenderIsoOut(AudioChild* a, AudioStream* s, IRP* irp, URB* urb, bool* pending,
                           PVOID buffer);
NTSTATUS AudioCaptureIsoIn(AudioChild* a, AudioStream* s, IRP* irp, URB* urb, bool* pending,
                           PVOID buffer);
void AudioRenderPump(AudioChild* a, AudioStream* s);
void AudioCapturePump(AudioChild* a, AudioStream* s);
void AudioTimerDpc(KDPC* dpc, PVOID context, PVOID argument1, PVOID argument2);
void AudioRenderThread(PVOID context);
void AudioCaptureThread(PVOID context);
NTSTATUS StartAudioStreamThread(AudioChild* a, AudioStream* s);
void AudioCaptureData(PVOID context, PVOID data, const protocol::BusMessageHeader* header,
                      const UCHAR* payload, ULONG offset, ULONG length);
void AudioRenderSendDone(PVOID context, IRP* irp, ULONG request_id, ULONG header_bytes,
                         ULONG data_bytes, NTSTATUS status, ULONG usbd_status);
void ApplyStreamGain(const AudioStream* s, UCHAR* destination, const UCHAR* source, ULONG bytes);
void AudioRenderCancel(DEVICE_OBJECT* device, IRP* irp);
void AudioCaptureCancel(DEVICE_OBJECT* device, IRP* irp);
ULONG BytesToMs(const AudioStream* s, ULONGLONG bytes);

// Request queues (initialised at creation by InitAudioQueue, audio_function.cpp).
AudioRequest* AllocAudioRequest(AudioChild* a, ULONG kind);
AudioRequest* TakeAudioRequest(AudioChild* a, ULONG kind);
void ReturnAudioRequest(AudioChild* a, AudioRequest* r);
void QueueAudioRequest(AudioChild* a, AudioRequest* r);
AudioRequest* DequeueAudioRequest(AudioChild* a, ULONG kind);
void RequeueAudioRequest(AudioChild* a, AudioRequest* r);
void CompleteQueuedAudioRequests(AudioChild* a, ULONG kind);
void FlushAudioQueue(AudioChild* a, ULONG kind);

}  // namespace vorn::station
