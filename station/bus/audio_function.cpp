// The audio function module: the audio child (function 3) and the stand-alone microphone
// child (function 8) look like USB Audio Class 1.0 devices. At creation the module reads the
// chip's audio records (stream, format, unit and feature records), builds the class
// descriptors from them and answers the class requests for sampling rate, volume and mute,
// turning volumes into software gains or into the chip's steps and sending every change to
// the chip as a vendor request. The isochronous data path lives in audio_stream*.cpp.
//
// Volumes outside the range the feature units announce (-96 dB to 0 dB, or the capture
// unit's own range) are clamped to it, so no value can wrap a gain or pick a wrong step.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "station/bus/audio_child.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/display_child_module.h"
#include "station/bus/function_modules.h"
#include "station/bus/urb_handlers.h"
#include "station/kernel_utils.h"
#include "station/os_version.h"
#include "station/registry.h"
#include "station/station_extension.h"

namespace vorn::station {

AudioSettings g_AudioSettings;

namespace {

StationServiceTable g_Services;

// Both modules answer GetDeviceDescriptor from the same place of their objects.
static_assert(offsetof(AudioChild, DeviceDescriptor) == offsetof(DisplayChild, DeviceDescriptor));

constexpr ULONG kDirectionOut = 0;
constexpr ULONG kMaxPreloadTime = 1000;  // ms; the ring holds two seconds of the largest format
constexpr ULONG kMaxDescriptorRate = 0xFFFFFF;  // three bytes in the format type descriptor
constexpr ULONG kMaxRingBytes = 0x40000000;

constexpr WCHAR kConfigurationText[] = u"Vorn USB Audio Configuration\0\0";
constexpr WCHAR kUnknownText[] = u"Unknown String\0\0";

// Class request codes.
constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kGetCur = 0x81;
constexpr UCHAR kGetMin = 0x82;
constexpr UCHAR kGetMax = 0x83;
constexpr UCHAR kGetRes = 0x84;
constexpr UCHAR kMuteControl = 1;
constexpr UCHAR kVolumeControl = 2;
constexpr USHORT kSamplingFrequencyControl = 0x0100;
constexpr UCHAR kAllChannels = 0xFF;

// The range every render feature unit announces, in 1/256 dB.
constexpr SHORT kVolumeMin = -0x6000;  // -96 dB (0xA000)
constexpr SHORT kVolumeMax = 0;
constexpr SHORT kVolumeRes = 0x0080;    // 0.5 dB
constexpr LONG kUnityGain = 0x10000;

// The chip's volume steps: step 0 is -127 dB, step s (1-31) is 20 log10(s / 31) dB.
struct StepTable {
  SHORT level[32];
};
StepTable MakeStepTable() {
  StepTable t{};
  t.level[0] = -32512;
  for (int s = 1; s < 32; ++s)
    t.level[s] = static_cast<SHORT>(std::trunc(256.0 * 20.0 * std::log10(s / 31.0)));
  return t;
}
const StepTable& Steps() {
  static const StepTable table = MakeStepTable();
  return table;
}

AudioChild* Object(PVOID ctx) { return static_cast<AudioChild*>(ctx); }

UCHAR ChannelMask(ULONG channels) {
  return static_cast<UCHAR>((1u << std::min<ULONG>(channels, kAudioMaxChannels)) - 1);
}

bool HasUnit(const AudioStream& s, UCHAR kind) {
  // The kept copy of a unit carries its kind; an unread slot is zero (kind 0).
  return s.Units[kind].Kind == kind && kind != kUnitRenderVolume;
}

void StoreGain(AudioStream* s, ULONG channel, LONG gain) {
  __atomic_store_n(&s->Gains[channel], gain, __ATOMIC_RELAXED);
}

const UCHAR* GetDeviceDescriptor(PVOID ctx) { return Object(ctx)->DeviceDescriptor; }

const UCHAR* GetConfigDescriptor(PVOID ctx, UCHAR index) {
  return index == 0 ? Object(ctx)->ConfigDescriptor : nullptr;
}

void NoOp(PVOID, PVOID) {}
bool AllowRemove(PVOID, IRP*) { return true; }

// ---------------------------------------------------------------------------------------
// Records.

NTSTATUS ReadStreamRecords(AudioChild* a, ULONG i, const JackRecord* jacks) {
  AudioStream& s = a->Streams[i];
  const USHORT jack = static_cast<USHORT>(i);
  if (jacks) {
    if (!jacks[i].Exists) return STATUS_SUCCESS;
    std::memcpy(&s.Record, jacks[i].Info, sizeof s.Record);
  } else {
    ULONG got = 0;
    NTSTATUS status = AudioDeviceRequest(a, USBD_TRANSFER_DIRECTION_IN, kReqReadJackInfo, 0, jack,
                                         sizeof s.Record, &s.Record, &got);
    if (!NT_SUCCESS(status)) return status;
    if (got == 0) return STATUS_SUCCESS;
    if (got < sizeof s.Record) std::memset(reinterpret_cast<UCHAR*>(&s.Record) + got, 0, sizeof s.Record - got);
  }
  const AudioStreamRecord& r = s.Record;
  if (r.StreamIndex > 1 || r.FormatCount == 0 || r.StreamTag == 0) {
    s.Record = AudioStreamRecord{};
    return STATUS_SUCCESS;
  }
  if (r.DefaultFormat >= r.FormatCount) return STATUS_UNSUCCESSFUL;
  // The format request's length is a 16-bit count of bytes.
  if (r.FormatCount > kAudioMaxFormats) return STATUS_INSUFFICIENT_RESOURCES;

  const ULONG format_bytes = ULONG{r.FormatCount} * sizeof(AudioFormatRecord);
  s.Formats = static_cast<AudioFormatRecord*>(AllocatePool(NonPagedPoolNx, format_bytes, kTagAudioChild));
  if (!s.Formats) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG got = 0;
  NTSTATUS status = AudioDeviceRequest(a, USBD_TRANSFER_DIRECTION_IN, kReqReadAudioFormats, 0, jack,
                                       format_bytes, s.Formats, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got < format_bytes) return STATUS_UNSUCCESSFUL;
  for (ULONG f = 0; f < r.FormatCount; ++f) {
    const AudioFormatRecord& fr = s.Formats[f];
    if (fr.SampleRate == 0 || fr.SampleRate > kMaxDescriptorRate || fr.BitsPerSample == 0 ||
        fr.Channels < 1 || fr.Channels > kAudioMaxChannels)
      return STATUS_INSUFFICIENT_RESOURCES;
  }

  for (ULONG k = 0; k < r.UnitCount; ++k) {
    AudioUnitRecord unit{};
    status = AudioDeviceRequest(a, USBD_TRANSFER_DIRECTION_IN, kReqReadAudioUnit,
                                static_cast<USHORT>(k), jack, sizeof unit, &unit, &got);
    if (!NT_SUCCESS(status)) return status;
    AudioFeatureRecord feature{};
    feature.ChannelMask = kAllChannels;
    status = AudioDeviceRequest(a, USBD_TRANSFER_DIRECTION_IN, kReqReadAudioUnitValues,
                                static_cast<USHORT>(k), jack, sizeof feature, &feature, &got);
    if (!NT_SUCCESS(status)) return status;
    if (unit.Kind >= kAudioUnitKinds) return STATUS_UNSUCCESSFUL;
    unit.UnitIndex = static_cast<UCHAR>(k);
    s.Units[unit.Kind] = unit;
    s.Features[unit.Kind] = feature;
  }

  if (!jacks) {
    UCHAR state[16] = {};
    status = AudioDeviceRequest(a, USBD_TRANSFER_DIRECTION_IN, kReqReadJackState, 0, jack,
                                sizeof state, state, &got);
    if (!NT_SUCCESS(status)) return status;
  }
  s.Present = 1;
  return STATUS_SUCCESS;
}

// Rates, maxima, the current format and the ring of one present stream; a stream whose
// formats cannot be announced is left out (Present 0).
NTSTATUS SetUpStream(AudioChild* a, AudioStream* s, UCHAR interface_number) {
  const USHORT count = s->Record.FormatCount;
  ULONG max_rate = 0, max_bits = 0, max_channels = 0;
  s->Rates = static_cast<ULONG*>(
      AllocatePool(NonPagedPoolNx, kAudioMaxDescriptorRates * sizeof(ULONG), kTagAudioChild));
  if (!s->Rates) return STATUS_INSUFFICIENT_RESOURCES;
  s->RateCount = 0;
  for (ULONG f = 0; f < count; ++f) {
    const AudioFormatRecord& fr = s->Formats[f];
    max_rate = std::max<ULONG>(max_rate, fr.SampleRate);
    max_bits = std::max<ULONG>(max_bits, fr.BitsPerSample);
    max_channels = std::max<ULONG>(max_channels, fr.Channels);
    bool known = false;
    for (ULONG r = 0; r < s->RateCount; ++r) known |= s->Rates[r] == fr.SampleRate;
    // The format type descriptor's length is one byte: rates past the 82nd are not announced.
    if (!known && s->RateCount < kAudioMaxDescriptorRates) s->Rates[s->RateCount++] = fr.SampleRate;
  }
  if (max_channels < 1 || max_channels > kAudioMaxChannels || max_bits < 1 || max_bits > 32 ||
      max_rate == 0) {
    s->Present = 0;
    return STATUS_SUCCESS;
  }
  s->MaxChannels = static_cast<UCHAR>(max_channels);
  s->MaxBits = static_cast<UCHAR>(max_bits);
  s->MaxRate = max_rate;
  switch (max_channels) {
    case 2: s->ChannelConfig = 0x0003; break;
    case 4: s->ChannelConfig = 0x0033; break;
    case 6: s->ChannelConfig = 0x003F; break;
    case 8: s->ChannelConfig = 0x063F; break;
    default: s->ChannelConfig = 0; break;
  }
  const AudioFormatRecord& current = s->Formats[s->Record.DefaultFormat];
  s->CurrentFormat = s->Record.DefaultFormat;
  s->CurrentRate = current.SampleRate;
  s->CurrentBits = current.BitsPerSample;
  s->CurrentChannels = current.Channels;
  s->BytesPerFrame = static_cast<UCHAR>(current.BitsPerSample * current.Channels / 8);
  s->InterfaceNumber = interface_number;

  const ULONGLONG ring = ULONGLONG{max_rate} * (max_bits * max_channels / 8) * 2;
  if (ring == 0 || ring > kMaxRingBytes) return STATUS_INSUFFICIENT_RESOURCES;
  s->RingBytes = static_cast<ULONG>(ring);
  s->Ring = static_cast<UCHAR*>(AllocatePool(NonPagedPoolNx, s->RingBytes, kTagAudioChild));
  if (!s->Ring) return STATUS_INSUFFICIENT_RESOURCES;
  SetStreamFormat(a, s, s->CurrentRate, s->CurrentBits, s->CurrentChannels);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Descriptors.

class ByteWriter {
 public:
  explicit ByteWriter(UCHAR* out) : out_(out) {}
  void Put(std::initializer_list<UCHAR> bytes) {
    for (UCHAR b : bytes) Byte(b);
  }
  void Byte(ULONG b) {
    if (out_) out_[n_] = static_cast<UCHAR>(b);
    ++n_;
  }
  void Word(ULONG w) {
    Byte(w & 0xFF);
    Byte(w >> 8 & 0xFF);
  }
  void Rate(ULONG r) {
    Byte(r & 0xFF);
    Byte(r >> 8 & 0xFF);
    Byte(r >> 16 & 0xFF);
  }
  ULONG Size() const { return n_; }
  UCHAR* At(ULONG offset) { return out_ ? out_ + offset : nullptr; }

 private:
  UCHAR* out_;
  ULONG n_ = 0;
};

void PatchWord(ByteWriter& w, ULONG offset, ULONG value) {
  if (UCHAR* p = w.At(offset)) {
    p[0] = static_cast<UCHAR>(value);
    p[1] = static_cast<UCHAR>(value >> 8);
  }
}

// Writes the whole configuration descriptor set (|out| null: only counts its bytes).
ULONG WriteConfiguration(const AudioChild* a, UCHAR* out) {
  const AudioStream& render = a->Streams[kRenderStream];
  const AudioStream& capture = a->Streams[kCaptureStream];
  const UCHAR streams = static_cast<UCHAR>(render.Present + capture.Present);
  ByteWriter w(out);
  w.Put({0x09, 0x02, 0x00, 0x00, static_cast<UCHAR>(1 + streams), 0x01, 0x03, 0x80, 0x32});
  w.Put({0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00});

  const ULONG class_start = w.Size();
  w.Put({static_cast<UCHAR>(8 + streams), 0x24, 0x01, 0x00, 0x01, 0x00, 0x00, streams});
  for (const AudioStream* s : {&render, &capture})
    if (s->Present) w.Byte(s->InterfaceNumber);
  if (render.Present) {
    const UCHAR ch = render.MaxChannels;
    w.Put({0x0C, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, ch});
    w.Word(render.ChannelConfig);
    w.Put({0x00, 0x00});
    w.Put({0x09, 0x24, 0x03, 0x06, 0x01, 0x03, 0x00, 0x09, 0x00});
    w.Put({static_cast<UCHAR>(ch + 8), 0x24, 0x06, kRenderFeatureUnit, 0x01, 0x01, 0x01});
    for (ULONG c = 0; c < ch; ++c) w.Byte(0x02);
    w.Byte(0x00);
  }
  if (capture.Present) {
    const UCHAR ch = capture.MaxChannels;
    w.Put({0x0C, 0x24, 0x02, 0x02, 0x01, 0x02, 0x00, ch});
    w.Word(capture.ChannelConfig);
    w.Put({0x00, 0x00});
    w.Put({0x09, 0x24, 0x03, 0x07, 0x01, 0x01, 0x00, 0x08, 0x00});
    w.Put({0x07, 0x24, 0x05, 0x08, 0x01, kCaptureFeatureUnit, 0x00});
    w.Put({static_cast<UCHAR>(ch + 8), 0x24, 0x06, kCaptureFeatureUnit, 0x02, 0x01, 0x01});
    for (ULONG c = 0; c < ch; ++c) w.Byte(0x02);
    w.Byte(0x00);
  }
  PatchWord(w, class_start + 5, w.Size() - class_start);

  for (ULONG i = 0; i < kAudioStreamCount; ++i) {
    const AudioStream& s = a->Streams[i];
    if (!s.Present) continue;
    const UCHAR n = s.InterfaceNumber;
    const bool is_render = i == kRenderStream;
    w.Put({0x09, 0x04, n, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00});
    w.Put({0x09, 0x04, n, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00});
    w.Put({0x07, 0x24, 0x01, static_cast<UCHAR>(is_render ? 1 : 7), 0x01, 0x01, 0x00});
    w.Put({static_cast<UCHAR>(8 + 3 * s.RateCount), 0x24, 0x02, 0x01, s.MaxChannels,
           static_cast<UCHAR>(s.MaxBits / 8), s.MaxBits, static_cast<UCHAR>(s.RateCount)});
    for (ULONG r = 0; r < s.RateCount; ++r) w.Rate(s.Rates[r]);
    if (is_render)
      w.Put({0x09, 0x05, kRenderEndpoint, 0x0D, 0xC8, 0x00, 0x01, 0x00, 0x00});
    else
      w.Put({0x09, 0x05, kCaptureEndpoint, 0x05, 0xC8, 0x00, 0x01, 0x00, 0x00});
    w.Put({0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00});
  }
  PatchWord(w, 2, w.Size());
  return w.Size();
}

USBD_INTERFACE_INFORMATION* NewInterfaceInfo(USHORT bytes, UCHAR number, UCHAR alternate,
                                             UCHAR subclass) {
  auto* info = static_cast<USBD_INTERFACE_INFORMATION*>(
      AllocatePool(NonPagedPoolNx, bytes, kTagAudioChild));
  if (!info) return nullptr;
  info->Length = bytes;
  info->InterfaceNumber = number;
  info->AlternateSetting = alternate;
  info->Class = 0x01;
  info->SubClass = subclass;
  info->Protocol = 0;
  info->InterfaceHandle = info;
  info->NumberOfPipes = 0;
  return info;
}

NTSTATUS BuildDescriptors(AudioChild* a, const ModuleCreateInfo* info) {
  const UCHAR device[18] = {0x12, 0x01, 0x10, 0x01, 0x01, 0x00, 0x00, 0x40,
                            static_cast<UCHAR>(info->VendorId), static_cast<UCHAR>(info->VendorId >> 8),
                            static_cast<UCHAR>(info->ProductId), static_cast<UCHAR>(info->ProductId >> 8),
                            0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
  std::memcpy(a->DeviceDescriptor, device, sizeof device);

  const ULONG total = WriteConfiguration(a, nullptr);
  if (total > 0xFFFF) return STATUS_INSUFFICIENT_RESOURCES;
  a->ConfigDescriptor = static_cast<UCHAR*>(AllocatePool(NonPagedPoolNx, total, kTagAudioChild));
  if (!a->ConfigDescriptor) return STATUS_INSUFFICIENT_RESOURCES;
  WriteConfiguration(a, a->ConfigDescriptor);
  a->ConfigTotalLength = static_cast<USHORT>(total);

  const UCHAR streams = static_cast<UCHAR>(a->Streams[0].Present + a->Streams[1].Present);
  a->InterfaceCount = static_cast<UCHAR>(1 + streams);
  const UCHAR records = static_cast<UCHAR>(1 + 2 * streams);
  a->InterfaceList = static_cast<USBD_INTERFACE_INFORMATION**>(
      AllocatePool(NonPagedPoolNx, records * sizeof(USBD_INTERFACE_INFORMATION*), kTagAudioChild));
  if (!a->InterfaceList) return STATUS_INSUFFICIENT_RESOURCES;
  // Counted as they are made, so AudioDestroy frees exactly those that exist.
  USBD_INTERFACE_INFORMATION* control = NewInterfaceInfo(kAudioInterfaceInfoBytes, 0, 0, 0x01);
  if (!control) return STATUS_INSUFFICIENT_RESOURCES;
  a->InterfaceList[a->InterfaceInfoCount++] = control;
  for (ULONG i = 0; i < kAudioStreamCount; ++i) {
    const AudioStream& s = a->Streams[i];
    if (!s.Present) continue;
    USBD_INTERFACE_INFORMATION* idle = NewInterfaceInfo(kAudioInterfaceInfoBytes, s.InterfaceNumber, 0, 0x02);
    if (!idle) return STATUS_INSUFFICIENT_RESOURCES;
    a->InterfaceList[a->InterfaceInfoCount++] = idle;
    USBD_INTERFACE_INFORMATION* streaming =
        NewInterfaceInfo(kAudioStreamingInfoBytes, s.InterfaceNumber, 1, 0x02);
    if (!streaming) return STATUS_INSUFFICIENT_RESOURCES;
    a->InterfaceList[a->InterfaceInfoCount++] = streaming;
    streaming->NumberOfPipes = 1;
    USBD_PIPE_INFORMATION& pipe = streaming->Pipes[0];
    pipe.MaximumPacketSize = kAudioPacketBytes;
    pipe.EndpointAddress = i == kRenderStream ? kRenderEndpoint : kCaptureEndpoint;
    pipe.Interval = 1;
    pipe.PipeType = UsbdPipeTypeIsochronous;
    pipe.PipeHandle = &pipe;
    pipe.MaximumTransferSize = 0x400000;
    pipe.PipeFlags = 0;
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Class requests.

// Render volume |v| (already in range) for channel index |c| (0-based) in |s|'s mode; in
// chip mode the step goes into the kind-0 feature record.
void ApplyRenderVolume(AudioStream* s, ULONG c, SHORT v) {
  s->Volumes[c] = v;
  switch (s->VolumeMode) {
    case kVolumeLogGain: {
      LONG gain = v == 0 ? kUnityGain
                  : v <= kVolumeMin ? 0
                  : static_cast<LONG>(std::trunc(std::pow(10.0, v / 5120.0) * 65536.0));
      StoreGain(s, c, gain);
      break;
    }
    case kVolumeLinearGain: {
      LONG gain = v == 0 ? kUnityGain
                  : v <= kVolumeMin ? 0
                  : static_cast<LONG>((LONGLONG{v} + 0x6000) * 65536 / 0x6000);
      StoreGain(s, c, gain);
      break;
    }
    default: {
      LONG step = 0;
      for (LONG i = 0; i < 32; ++i)
        if (Steps().level[i] <= v) step = i;
      s->Features[kUnitRenderVolume].Values[c] = step;
      break;
    }
  }
}

bool ChipVolumeMode(const AudioStream& s) {
  return s.VolumeMode != kVolumeLogGain && s.VolumeMode != kVolumeLinearGain;
}

SHORT Clamp(LONG v, SHORT lo, SHORT hi) {
  return static_cast<SHORT>(std::clamp<LONG>(v, lo, hi));
}

SHORT LoadI16(const void* p) {
  SHORT v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void StoreI16(void* p, SHORT v) { std::memcpy(p, &v, sizeof v); }

// The capture unit's announced range, from its kind-3 unit record when there is one.
void CaptureRange(const AudioStream& s, SHORT* lo, SHORT* hi, SHORT* res) {
  *lo = kVolumeMin;
  *hi = kVolumeMax;
  *res = kVolumeRes;
  if (HasUnit(s, kUnitCaptureVolume)) {
    *lo = CaptureMinimum(s.Units[kUnitCaptureVolume]);
    *hi = CaptureMaximum(s.Units[kUnitCaptureVolume]);
    *res = CaptureResolution(s.Units[kUnitCaptureVolume]);
  }
}

// A volume or mute request of a feature unit. |in|: the request is a GET.
NTSTATUS FeatureUnitRequest(AudioChild* a, AudioStream* s, bool is_render, bool in, UCHAR request,
                            UCHAR control, UCHAR channel, UCHAR* data, ULONG length,
                            ULONG* transferred) {
  const bool get = request & 0x80;
  if (get != in || !data) return STATUS_NOT_SUPPORTED;
  const UCHAR all = ChannelMask(s->MaxChannels);

  if (control == kMuteControl) {
    if (channel != 0 || length != 1) return STATUS_NOT_SUPPORTED;
    if (request == kGetCur) {
      data[0] = s->Mute;
      *transferred = 1;
      return STATUS_SUCCESS;
    }
    if (request != kSetCur) return STATUS_NOT_SUPPORTED;
    const UCHAR mute = data[0];
    __atomic_store_n(&s->Mute, mute, __ATOMIC_RELAXED);
    *transferred = 1;
    if (HasUnit(*s, kUnitMute)) {
      AudioFeatureRecord& r = s->Features[kUnitMute];
      r.ChannelMask = all;
      for (LONG& value : r.Values) value = mute;
      AudioSetFeature(a, s, s->Units[kUnitMute].UnitIndex, &r);
    } else if (is_render) {
      AudioFeatureRecord r = s->Features[kUnitRenderVolume];
      r.ChannelMask = all;
      if (mute)
        for (LONG& value : r.Values) value = RenderMutedValue(s->Units[kUnitRenderVolume]);
      AudioSetFeature(a, s, s->Units[kUnitRenderVolume].UnitIndex, &r);
    } else if (HasUnit(*s, kUnitCaptureVolume)) {
      AudioFeatureRecord r = s->Features[kUnitCaptureVolume];
      r.ChannelMask = all;
      for (ULONG c = 0; c < kAudioMaxChannels; ++c)
        r.Values[c] = static_cast<LONG>(static_cast<USHORT>(
            mute ? CaptureMinimum(s->Units[kUnitCaptureVolume]) : s->Volumes[c]));
      AudioSetFeature(a, s, s->Units[kUnitCaptureVolume].UnitIndex, &r);
    }
    return STATUS_SUCCESS;
  }
  if (control != kVolumeControl) return STATUS_NOT_SUPPORTED;

  const ULONG channels = is_render ? s->MaxChannels : 2;
  SHORT lo = kVolumeMin, hi = kVolumeMax, res = kVolumeRes;
  if (!is_render) CaptureRange(*s, &lo, &hi, &res);

  if (get) {
    if (channel < 1 || channel > channels || length != 2) return STATUS_NOT_SUPPORTED;
    switch (request) {
      case kGetCur: StoreI16(data, s->Volumes[channel - 1]); break;
      case kGetMin: StoreI16(data, lo); break;
      case kGetMax: StoreI16(data, hi); break;
      case kGetRes: StoreI16(data, res); break;
      default: return STATUS_NOT_SUPPORTED;
    }
    *transferred = 2;
    return STATUS_SUCCESS;
  }
  if (request != kSetCur) return STATUS_NOT_SUPPORTED;

  ULONG first = 0, count = 0;
  if (channel == kAllChannels) {
    const bool fits = is_render ? length >= 2 && length <= 2 * channels && length % 2 == 0
                                : length == 4;
    if (!fits) return STATUS_NOT_SUPPORTED;
    count = length / 2;
  } else {
    if (channel < 1 || channel > channels || length != 2) return STATUS_NOT_SUPPORTED;
    first = channel - 1u;
    count = 1;
  }
  // A chip whose announced range is reversed gets no clamping beyond the type's.
  if (lo > hi) std::swap(lo, hi);
  UCHAR mask = 0;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG c = first + i;
    const SHORT v = Clamp(LoadI16(data + 2 * i), lo, hi);
    mask |= static_cast<UCHAR>(1u << c);
    if (is_render) {
      ApplyRenderVolume(s, c, v);
    } else {
      s->Volumes[c] = v;
      s->Features[kUnitCaptureVolume].Values[c] = static_cast<LONG>(static_cast<USHORT>(v));
    }
  }
  *transferred = length;
  if (s->Mute) return STATUS_SUCCESS;
  if (is_render && ChipVolumeMode(*s)) {
    AudioFeatureRecord& r = s->Features[kUnitRenderVolume];
    r.ChannelMask = mask;
    AudioSetFeature(a, s, s->Units[kUnitRenderVolume].UnitIndex, &r);
  } else if (!is_render && HasUnit(*s, kUnitCaptureVolume)) {
    AudioFeatureRecord& r = s->Features[kUnitCaptureVolume];
    r.ChannelMask = mask;
    AudioSetFeature(a, s, s->Units[kUnitCaptureVolume].UnitIndex, &r);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SamplingRateRequest(AudioChild* a, AudioStream* s, bool in, UCHAR request, USHORT value,
                             UCHAR* data, ULONG length, ULONG* transferred, ULONG* usbd_status) {
  if (value != kSamplingFrequencyControl || length != 3 || !data) return STATUS_NOT_SUPPORTED;
  if (request == kGetCur && in) {
    data[0] = static_cast<UCHAR>(s->CurrentRate);
    data[1] = static_cast<UCHAR>(s->CurrentRate >> 8);
    data[2] = static_cast<UCHAR>(s->CurrentRate >> 16);
    *transferred = 3;
    return STATUS_SUCCESS;
  }
  if (request != kSetCur || in) return STATUS_NOT_SUPPORTED;
  const ULONG rate = ULONG{data[0]} | ULONG{data[1]} << 8 | ULONG{data[2]} << 16;
  // The rate must be one the descriptors announce, with a format record for the current
  // sample size and channels; nothing changes otherwise.
  bool announced = false;
  for (ULONG r = 0; r < s->RateCount; ++r) announced |= s->Rates[r] == rate;
  ULONG index = s->Record.FormatCount;
  for (ULONG f = 0; announced && f < s->Record.FormatCount; ++f) {
    const AudioFormatRecord& fr = s->Formats[f];
    if (fr.SampleRate == rate && fr.BitsPerSample == s->CurrentBits &&
        fr.Channels == s->CurrentChannels) {
      index = f;
      break;
    }
  }
  if (index == s->Record.FormatCount) return STATUS_NOT_SUPPORTED;
  s->CurrentRate = rate;
  s->CurrentFormat = static_cast<USHORT>(index);
  SetStreamFormat(a, s, rate, s->CurrentBits, s->CurrentChannels);
  *transferred = 3;
  const UCHAR active = s->AlternateSetting != 0 ? 1 : 0;
  if (s->LastState.FormatIndex == index && s->LastState.Active == active) return STATUS_SUCCESS;
  AudioStreamStateRecord record = s->LastState;
  record.Active = active;
  record.FormatIndex = static_cast<USHORT>(index);
  record.StreamTag = s->Record.StreamTag;
  NTSTATUS status = AudioSetStreamState(a, s, &record);
  if (!NT_SUCCESS(status)) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
    return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------

void LoadAudioSettings(AudioSettings* settings, ULONG os_version) {
  *settings = AudioSettings{};
  settings->RenderStartOffset = kAudioDefaultStartOffset;
  settings->CaptureStartOffset = kAudioDefaultStartOffset;
  settings->RenderPreloadTime = kAudioDefaultPreloadTime;
  settings->CapturePreloadTime = kAudioDefaultPreloadTime;
  settings->DumpInterval = kAudioDefaultDumpInterval;
  settings->ServiceMode = kAudioServiceTimer;
  settings->RenderConsumeMode = 0;
  settings->RenderSwVolume = os_version < MakeOsVersion(6, 0, 0) ? kVolumeLinearGain : kVolumeLogGain;
  ReadParameter(u"AudioRenderStartOffset", REG_DWORD, 4, &settings->RenderStartOffset);
  ReadParameter(u"AudioCaptureStartOffset", REG_DWORD, 4, &settings->CaptureStartOffset);
  ReadParameter(u"AudioRenderPreloadTime", REG_DWORD, 4, &settings->RenderPreloadTime);
  ReadParameter(u"AudioCapturePreloadTime", REG_DWORD, 4, &settings->CapturePreloadTime);
  ReadParameter(u"AudioDumpInterval", REG_DWORD, 4, &settings->DumpInterval);
  ReadParameter(u"AudioServiceMode", REG_BINARY, 1, &settings->ServiceMode);
  ReadParameter(u"AudioRenderConsumeMode", REG_BINARY, 1, &settings->RenderConsumeMode);
  ReadParameter(u"AudioSwVolume", REG_BINARY, 1, &settings->RenderSwVolume);
  ReadParameter(u"AudioRenderSwVolume", REG_BINARY, 1, &settings->RenderSwVolume);
}

void InitAudioQueue(AudioRequestQueue* q, ULONG kind) {
  KeInitializeSpinLock(&q->Lock);
  InitializeListHead(&q->FreeList);
  InitializeListHead(&q->PendingList);
  q->Kind = kind;
  q->PendingCount = 0;
}

NTSTATUS AudioDeviceRequest(AudioChild* a, ULONG direction, UCHAR request, USHORT value,
                            USHORT index, ULONG length, PVOID buffer, ULONG* transferred) {
  ULONG usbd = 0;
  ULONG done = 0;
  NTSTATUS status = g_Services.ControlTransfer(a->Child, direction, URB_FUNCTION_VENDOR_DEVICE,
                                               request, value, index, length, buffer, &done,
                                               nullptr, &usbd);
  if (transferred) *transferred = NT_SUCCESS(status) ? done : 0;
  if (NT_SUCCESS(status) && UsbdFailed(usbd)) return STATUS_UNSUCCESSFUL;
  return status;
}

NTSTATUS AudioSetFeature(AudioChild* a, AudioStream* s, UCHAR unit_index,
                         const AudioFeatureRecord* record) {
  if (a->VendorCmdVersion == 0) return STATUS_SUCCESS;
  AudioFeatureRecord copy = *record;
  return AudioDeviceRequest(a, kDirectionOut, kReqSetAudioFeature, unit_index, s->JackIndex,
                            sizeof copy, &copy, nullptr);
}

NTSTATUS AudioSetStreamState(AudioChild* a, AudioStream* s, const AudioStreamStateRecord* record) {
  if (a->VendorCmdVersion <= 1) return STATUS_SUCCESS;
  AudioStreamStateRecord copy = *record;
  NTSTATUS status = AudioDeviceRequest(a, kDirectionOut, kReqSetAudioStreamState, 0, s->JackIndex,
                                       sizeof copy, &copy, nullptr);
  if (NT_SUCCESS(status)) s->LastState = *record;
  return status;
}

void SetStreamFormat(AudioChild*, AudioStream* s, ULONG rate, ULONG bits, ULONG channels) {
  const ULONG per_second = rate * (bits / 8) * channels;
  // Under the stream's lock: the capture data of the bulk-IN pipe may arrive at any time and
  // reads the preload there.
  KIRQL irql;
  KeAcquireSpinLock(&s->Lock, &irql);
  s->BytesPer10Ms = per_second / 100;
  s->BytesPerMs = per_second / 1000;
  s->FractionalMs = per_second % 1000 != 0 ? 1 : 0;
  s->PreloadBytes = static_cast<ULONG>(ULONGLONG{per_second} * s->PreloadTime / 1000);
  KeReleaseSpinLock(&s->Lock, irql);
}

void ResetAudioStreamTiming(AudioStream* s) {
  KIRQL irql;
  KeAcquireSpinLock(&s->Lock, &irql);
  s->AcceptedBytes = 0;
  s->AcceptedMs = 0;
  s->RestartTime = 0;
  s->ExpectedFrame = 0;
  s->StartFrame = 0;
  s->ReadOffset = 0;
  s->WriteOffset = 0;
  s->PreloadPending = 0;
  if (s->Ring) std::memset(s->Ring, 0, s->RingBytes);
  KeReleaseSpinLock(&s->Lock, irql);
}

NTSTATUS ReadAudioCapabilities(AudioChild* a, const JackRecord* jacks) {
  ULONG version = 0, got = 0;
  NTSTATUS status = AudioDeviceRequest(a, USBD_TRANSFER_DIRECTION_IN, kReqReadDeviceValue, 0,
                                       kDeviceValueCmdVersion, sizeof version, &version, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got < sizeof version) return STATUS_UNSUCCESSFUL;
  a->VendorCmdVersion = version;

  const ULONG function = a->ChildKey & 0xFF;
  const bool standalone_mic = g_StationGlobals && g_StationGlobals->StandaloneMic;
  for (ULONG i = 0; i < kAudioStreamCount; ++i) {
    if (i == kRenderStream && version < 2) continue;
    if (i == kCaptureStream && version < 5) continue;
    if (standalone_mic) {
      if (i == kRenderStream && function != kFunctionAudio) continue;
      if (i == kCaptureStream && function != kFunctionMicrophone) continue;
    }
    status = ReadStreamRecords(a, i, jacks);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS AudioCreate(PVOID* out, const ModuleCreateInfo* info) {
  if (!out || !info || !info->Child || !g_Services.GetModuleContext || !g_Services.GetTime ||
      !g_Services.ControlTransfer || !g_Services.WriteAndWait || !g_Services.WriteAsync ||
      !g_Services.WaitInterruptMessage || !g_Services.SetReadHandler || !g_Services.FlushChannel)
    return STATUS_INVALID_PARAMETER;
  auto* a = static_cast<AudioChild*>(AllocatePool(NonPagedPoolNx, sizeof(AudioChild), kTagAudioChild));
  if (!a) return STATUS_INSUFFICIENT_RESOURCES;
  a->Child = info->Child;
  a->ChildKey = info->ChildKey;
  a->ManufacturerString = info->Manufacturer;
  a->ManufacturerLength = info->Manufacturer ? info->ManufacturerBytes : 0;
  a->ProductString = info->Product;
  a->ProductLength = info->Product ? info->ProductBytes : 0;
  KeInitializeMutex(&a->StateMutex, 0);
  for (ULONG k = 0; k < kAudioQueueCount; ++k) InitAudioQueue(&a->Queues[k], k);
  KeInitializeDpc(&a->TimerDpc, AudioTimerDpc, a);
  KeInitializeTimer(&a->Timer);
  for (ULONG i = 0; i < kAudioStreamCount; ++i) {
    AudioStream& s = a->Streams[i];
    const bool render = i == kRenderStream;
    KeInitializeEvent(&s.StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&s.WorkEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&s.Lock);
    s.ThreadRoutine = render ? AudioRenderThread : AudioCaptureThread;
    s.PreloadTime = std::min(render ? g_AudioSettings.RenderPreloadTime : g_AudioSettings.CapturePreloadTime,
                             kMaxPreloadTime);
    s.StartOffset = render ? g_AudioSettings.RenderStartOffset : g_AudioSettings.CaptureStartOffset;
    s.VolumeMode = render ? g_AudioSettings.RenderSwVolume : kVolumeChip;
    s.StreamIndex = static_cast<UCHAR>(i);
    s.JackIndex = static_cast<UCHAR>(i);
    for (LONG& gain : s.Gains) gain = kUnityGain;
  }

  const JackRecord* jacks =
      info->Jacks && info->JacksBytes >= kJackCount * sizeof(JackRecord) ? info->Jacks : nullptr;
  NTSTATUS status = ReadAudioCapabilities(a, jacks);
  UCHAR next_interface = 1;
  for (ULONG i = 0; NT_SUCCESS(status) && i < kAudioStreamCount; ++i) {
    AudioStream& s = a->Streams[i];
    if (!s.Present) continue;
    status = SetUpStream(a, &s, next_interface);
    if (s.Present) ++next_interface;
  }
  if (NT_SUCCESS(status) && !a->Streams[0].Present && !a->Streams[1].Present)
    status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) status = BuildDescriptors(a, info);
  if (!NT_SUCCESS(status)) {
    AudioDestroy(a);
    return status;
  }
  a->Initialized = 1;

  AudioStream& render = a->Streams[kRenderStream];
  if (render.Present && render.VolumeMode != kVolumeChip) {
    // The chip plays at the unit's own level while the gain does the work; a chip that
    // refuses it keeps its level, which is not worth losing the device over.
    AudioFeatureRecord& r = render.Features[kUnitRenderVolume];
    r.ChannelMask = ChannelMask(render.MaxChannels);
    for (LONG& value : r.Values) value = RenderInitialValue(render.Units[kUnitRenderVolume]);
    AudioSetFeature(a, &render, render.Units[kUnitRenderVolume].UnitIndex, &r);
  }
  *out = a;
  return STATUS_SUCCESS;
}

void AudioDestroy(PVOID ctx) {
  AudioChild* a = Object(ctx);
  if (!a) return;
  if (a->Initialized) AudioStop(a);
  KeRemoveQueueDpc(&a->TimerDpc);
  for (AudioStream& s : a->Streams) {
    if (s.Ring) ExFreePoolWithTag(s.Ring, kTagAudioChild);
    if (s.Formats) ExFreePoolWithTag(s.Formats, kTagAudioChild);
    if (s.Rates) ExFreePoolWithTag(s.Rates, kTagAudioChild);
  }
  if (a->InterfaceList) {
    for (ULONG i = 0; i < a->InterfaceInfoCount; ++i)
      ExFreePoolWithTag(a->InterfaceList[i], kTagAudioChild);
    ExFreePoolWithTag(a->InterfaceList, kTagAudioChild);
  }
  if (a->ConfigDescriptor) ExFreePoolWithTag(a->ConfigDescriptor, kTagAudioChild);
  ExFreePoolWithTag(a, kTagAudioChild);
}

NTSTATUS AudioGetString(PVOID ctx, ULONG* usbd_status, UCHAR index, USHORT, const WCHAR** text,
                        ULONG* byte_length) {
  AudioChild* a = Object(ctx);
  switch (index) {
    case 1:
      *text = a->ManufacturerString;
      *byte_length = a->ManufacturerLength;
      break;
    case 2:
      *text = a->ProductString;
      *byte_length = a->ProductLength;
      break;
    case 3:
      *text = kConfigurationText;
      *byte_length = static_cast<ULONG>(std::size(kConfigurationText) * sizeof(WCHAR));
      break;
    default:
      *text = kUnknownText;
      *byte_length = static_cast<ULONG>(std::size(kUnknownText) * sizeof(WCHAR));
      *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
      return STATUS_NOT_SUPPORTED;
  }
  *usbd_status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

USBD_INTERFACE_INFORMATION** AudioGetInterfaceList(PVOID ctx, UCHAR configuration_index,
                                                   UCHAR* count) {
  AudioChild* a = Object(ctx);
  if (configuration_index != 0) {
    *count = 0;
    return nullptr;
  }
  *count = a->InterfaceInfoCount;
  return a->InterfaceList;
}

NTSTATUS AudioSelectInterface(PVOID ctx, ULONG* usbd_status, UCHAR interface_number,
                              UCHAR alternate_setting) {
  AudioChild* a = Object(ctx);
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  // Interface 0 is the control interface: it has no stream and nothing to do, also when a
  // stream is absent and its interface number field reads 0.
  if (interface_number == 0) {
    if (alternate_setting != 0) return STATUS_NOT_SUPPORTED;
    *usbd_status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  AudioStream* s = nullptr;
  for (AudioStream& candidate : a->Streams)
    if (candidate.Present && candidate.InterfaceNumber == interface_number) s = &candidate;
  if (!s) return STATUS_NOT_SUPPORTED;
  if (alternate_setting == 0) {
    __atomic_store_n(&s->AlternateSetting, UCHAR{0}, __ATOMIC_SEQ_CST);
    AudioStreamStateRecord record{};
    record.Active = 0;
    record.FormatIndex = s->CurrentFormat;
    record.StreamTag = s->Record.StreamTag;
    NTSTATUS status = AudioSetStreamState(a, s, &record);
    if (!NT_SUCCESS(status)) return status;
  } else if (alternate_setting == 1) {
    SetStreamFormat(a, s, s->CurrentRate, s->CurrentBits, s->CurrentChannels);
    ResetAudioStreamTiming(s);
    __atomic_store_n(&s->AlternateSetting, UCHAR{1}, __ATOMIC_SEQ_CST);
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  *usbd_status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS AudioPipeRequest(PVOID, ULONG* usbd_status, USBD_INTERFACE_INFORMATION*,
                          USBD_PIPE_INFORMATION* pipe, UCHAR*) {
  if (pipe && (pipe->EndpointAddress == kRenderEndpoint || pipe->EndpointAddress == kCaptureEndpoint)) {
    *usbd_status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS AudioClassRequest(PVOID ctx, ULONG* usbd_status, ULONG transfer_flags,
                           USHORT urb_function, UCHAR request, USHORT value, USHORT index,
                           USHORT, PVOID buffer, ULONG length, ULONG* transferred) {
  AudioChild* a = Object(ctx);
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  const bool in = transfer_flags & USBD_TRANSFER_DIRECTION_IN;
  auto* data = static_cast<UCHAR*>(buffer);
  ULONG done = 0;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  if (urb_function == URB_FUNCTION_CLASS_ENDPOINT) {
    AudioStream* s = nullptr;
    if (index == kRenderEndpoint || index == kCaptureEndpoint)
      s = StreamOfEndpoint(a, static_cast<UCHAR>(index));
    if (!s || !s->Present) return STATUS_NOT_SUPPORTED;
    status = SamplingRateRequest(a, s, in, request, value, data, length, &done, usbd_status);
  } else if (urb_function == URB_FUNCTION_CLASS_INTERFACE) {
    if ((index & 0xFF) != 0) return STATUS_NOT_SUPPORTED;
    const UCHAR unit = static_cast<UCHAR>(index >> 8);
    AudioStream* s = nullptr;
    if (unit == kRenderFeatureUnit) s = &a->Streams[kRenderStream];
    if (unit == kCaptureFeatureUnit) s = &a->Streams[kCaptureStream];
    if (!s || !s->Present) {
      // A unit the descriptors do not announce: a SET changes nothing and succeeds, a GET
      // has nothing to answer with.
      if (request & 0x80) return STATUS_NOT_SUPPORTED;
      *usbd_status = USBD_STATUS_SUCCESS;
      return STATUS_SUCCESS;
    }
    status = FeatureUnitRequest(a, s, unit == kRenderFeatureUnit, in, request,
                                static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(value), data,
                                length, &done);
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  if (!NT_SUCCESS(status)) return status;
  if (transferred) *transferred = done;
  *usbd_status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS AudioFunctionInit(UCHAR version, UCHAR* registered, const StationServiceTable* services,
                           FunctionModuleOps* ops) {
  if (registered) *registered = 1;
  if (version != kFunctionModuleVersion) return STATUS_UNSUCCESSFUL;
  if (!services || !ops) return STATUS_INVALID_PARAMETER;
  g_Services = *services;
  LoadAudioSettings(&g_AudioSettings, GetOsVersion());
  *ops = FunctionModuleOps{};
  ops->Unload = NoOp;
  ops->Create = AudioCreate;
  ops->Destroy = AudioDestroy;
  ops->Start = AudioStart;
  ops->Stop = AudioStop;
  ops->QueryRemove = AllowRemove;
  ops->PipeRequest = AudioPipeRequest;
  ops->GetDeviceDescriptor = GetDeviceDescriptor;
  ops->GetConfigDescriptor = GetConfigDescriptor;
  ops->GetStringDescriptor = AudioGetString;
  ops->GetInterfaceList = AudioGetInterfaceList;
  ops->SelectInterface = AudioSelectInterface;
  ops->ControlRequest = AudioClassRequest;
  ops->IsochTransfer = AudioIsochTransfer;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
