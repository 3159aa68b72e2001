// Encode and decode of every record against byte images written out by hand from the record
// tables: each image is decoded, its fields checked, and encoded back to the same bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "protocol/bus_message.h"
#include "protocol/capability_block.h"
#include "protocol/ddi_version.h"
#include "protocol/frame_descriptor.h"
#include "protocol/gamma.h"
#include "protocol/interrupt_packet.h"
#include "protocol/panel_property.h"
#include "protocol/timing.h"
#include "protocol/vendor_request.h"

namespace vorn::protocol {
namespace {

using Bytes = std::vector<uint8_t>;

// |size| bytes: |head| first, then zeros.
Bytes Image(size_t size, std::initializer_list<uint8_t> head) {
  Bytes b(head);
  b.resize(size, 0);
  return b;
}

// Encoding into a buffer one byte too short fails and leaves the buffer as it was; so does
// decoding from one.
template <typename Record, typename EncodeFn, typename DecodeFn>
void ExpectShortBuffersRefused(const Record& r, size_t size, EncodeFn encode, DecodeFn decode) {
  Bytes out(size - 1, 0xEE);
  EXPECT_FALSE(encode(r, MutableByteSpan(out)));
  EXPECT_EQ(out, Bytes(size - 1, 0xEE));
  Record untouched = r;
  const Bytes in(size - 1, 0x11);
  EXPECT_FALSE(decode(ByteSpan(in), &untouched));
  EXPECT_EQ(std::memcmp(&untouched, &r, sizeof r), 0);
  EXPECT_FALSE(decode(ByteSpan(Bytes(size, 0)), nullptr));
}

template <typename Record, typename EncodeFn>
Bytes Encode(const Record& r, size_t size, EncodeFn encode) {
  Bytes out(size, 0xEE);
  EXPECT_TRUE(encode(r, MutableByteSpan(out)));
  return out;
}

// ---- BusMessageHeader ----------------------------------------------------------------------

TEST(BusMessageHeader, SliceOfATypeZeroMessage) {
  // The second 25600-byte slice of a 300000-byte display message.
  const Bytes image = Image(32, {0x00, 0x00, 0x00, 0x00,  // Type 0
                                 0xE0, 0x93, 0x04, 0x00,  // TotalLength 300000
                                 0x30, 0x00, 0x00, 0x01,  // Address 0x01000030
                                 0x00, 0x64, 0x00, 0x00,  // SliceLength 25600
                                 0x00, 0x64, 0x00, 0x00,  // SliceOffset 25600
                                 0x01});                  // MoreSlices
  BusMessageHeader h;
  ASSERT_TRUE(DecodeBusMessageHeader(image, &h));
  EXPECT_EQ(h.Type, ToWire(BusMessageType::Display));
  EXPECT_EQ(h.TotalLength, 300000u);
  EXPECT_EQ(h.Address, 0x01000030u);
  EXPECT_EQ(h.Slice.SliceLength, 25600u);
  EXPECT_EQ(h.Slice.SliceOffset, 25600u);
  EXPECT_EQ(h.Slice.MoreSlices, 1);
  EXPECT_EQ(Encode(h, 32, EncodeBusMessageHeader), image);
}

TEST(BusMessageHeader, TwoPlaneFormOfTypeSeven) {
  // An RGB patch of 96 x 30 pixels at (48, 60) into a 1920-pixel frame: stride 5760,
  // Width 288, Height 20, plane B 20 frame rows below plane A.
  const Bytes image = Image(32, {0x07, 0x00, 0x00, 0x00,  // Type 7
                                 0xC0, 0x21, 0x00, 0x00,  // TotalLength 8640
                                 0xF0, 0x46, 0x15, 0x00,  // Address
                                 0xF0, 0x08, 0x17, 0x00,  // AddressB
                                 0x80, 0x16, 0x80, 0x16,  // StrideA, StrideB 5760
                                 0x20, 0x01, 0x14, 0x00}); // Width 288, Height 20
  BusMessageHeader h;
  ASSERT_TRUE(DecodeBusMessageHeader(image, &h));
  EXPECT_TRUE(IsTwoPlaneType(h.Type));
  EXPECT_EQ(h.TotalLength, 8640u);
  EXPECT_EQ(h.TwoPlane.AddressB - h.Address, 20u * 5760u);
  EXPECT_EQ(h.TwoPlane.StrideA, 5760);
  EXPECT_EQ(h.TwoPlane.StrideB, 5760);
  EXPECT_EQ(h.TwoPlane.Width, 288);
  EXPECT_EQ(h.TwoPlane.Height, 20);
  EXPECT_EQ(h.TotalLength, uint32_t{h.TwoPlane.Width} * (h.TwoPlane.Height + h.TwoPlane.Height / 2));
  EXPECT_EQ(Encode(h, 32, EncodeBusMessageHeader), image);
}

TEST(BusMessageHeader, TypeSpecificBytesAndUnknownTypesSurviveARoundTrip) {
  // A ROM write block (type 5) carries its fields in bytes 24-31; a header of a type no one
  // defines (8) and reserved bytes that are not zero are passed on as they are.
  const Bytes rom = Image(32, {0x05, 0, 0, 0, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0,
                               0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0x00, 0, 0, 0,
                               0x02, 0x00, 0x01, 0x05, 0x00, 0x00, 0x01, 0x00});
  const Bytes odd = Image(32, {0x08, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0,
                               0x10, 0, 0, 0, 0x04, 0, 0, 0, 0x01, 0xAA, 0xBB, 0xCC,
                               1, 2, 3, 4, 5, 6, 7, 8});
  for (const Bytes& image : {rom, odd}) {
    BusMessageHeader h;
    ASSERT_TRUE(DecodeBusMessageHeader(image, &h));
    EXPECT_FALSE(IsTwoPlaneType(h.Type));
    EXPECT_EQ(Encode(h, 32, EncodeBusMessageHeader), image);
  }
  BusMessageHeader h;
  ASSERT_TRUE(DecodeBusMessageHeader(odd, &h));
  EXPECT_EQ(h.Slice.SliceOffset, 4u);
  EXPECT_EQ(h.Slice.Reserved[2], 0xCC);
  ASSERT_TRUE(DecodeBusMessageHeader(rom, &h));
  EXPECT_EQ(LoadLe16(h.TypeSpecific + 2), 0x0501);
  EXPECT_EQ(LoadLe32(h.TypeSpecific + 4), 0x10000u);
}

TEST(BusMessageHeader, ShortBuffersAreRefused) {
  BusMessageHeader h;
  h.Type = 3;
  h.TotalLength = 99;
  ExpectShortBuffersRefused(h, kBusMessageHeaderSize, EncodeBusMessageHeader,
                            DecodeBusMessageHeader);
  // A decode reads only the first 32 bytes of a longer message.
  Bytes message = Image(100, {0x03, 0, 0, 0, 0x44});
  message[32] = 0xFF;
  ASSERT_TRUE(DecodeBusMessageHeader(message, &h));
  EXPECT_EQ(h.TotalLength, 0x44u);
  EXPECT_EQ(h.TypeSpecific[7], 0);
}

// ---- FrameDescriptor ------------------------------------------------------------------------

struct DescriptorCase {
  const char* what;
  Bytes image;  // the 48 descriptor bytes (message offsets 32-79)
};

const DescriptorCase kDescriptorCases[] = {
    {"full frame of view 0, format 6, 1920 x 1080, centred 8 rows down",
     {0x03, 0x00, 0x00, 0x00, 0x00, 0x76, 0x2F, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
      0x80, 0x07, 0x80, 0x07, 0x30, 0x00, 0x00, 0x01, 0x30, 0xA4, 0x1F, 0x01, 0x30, 0x00, 0x00, 0x01,
      0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x80, 0x07, 0x38, 0x04, 0x00, 0x00, 0x00, 0x00}},
    {"JPEG rectangle of view 1, first pass",
     {0x02, 0x00, 0x00, 0x00, 0xB0, 0x07, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
      0x64, 0x00, 0xC8, 0x00, 0x40, 0x00, 0x20, 0x00, 0x40, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x02,
      0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
    {"JPEG patch at (96, 64) into a format-6 frame",
     {0x07, 0x00, 0x00, 0x00, 0xB0, 0x07, 0x00, 0x00, 0x35, 0x12, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
      0x80, 0x00, 0x40, 0x00, 0x80, 0x07, 0x80, 0x07, 0x90, 0xE0, 0x01, 0x01, 0x90, 0x94, 0x20, 0x01,
      0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
};

TEST(FrameDescriptor, RoundTripsEachPacketKind) {
  for (const DescriptorCase& c : kDescriptorCases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.image.size(), kFrameDescriptorSize);
    FrameDescriptor d;
    ASSERT_TRUE(DecodeFrameDescriptor(c.image, &d));
    EXPECT_EQ(Encode(d, kFrameDescriptorSize, EncodeFrameDescriptor), c.image);
  }
}

TEST(FrameDescriptor, FieldsLandWhereTheMessageShowsThem) {
  FrameDescriptor full;
  ASSERT_TRUE(DecodeFrameDescriptor(kDescriptorCases[0].image, &full));
  EXPECT_EQ(full.PacketKind, ToWire(FramePacketKind::FullView0));
  EXPECT_EQ(full.PayloadLength, 1920u * 1080u + 1920u * 540u);
  EXPECT_EQ(full.Sequence, 0x2Au);
  EXPECT_EQ(full.Layout, ToWire(SurfaceFormat::SemiPlanar420));
  EXPECT_EQ(full.Full.Stride1, 1920);
  EXPECT_EQ(full.Full.Plane1, 0x01000030u);
  EXPECT_EQ(full.Full.Plane2, full.Full.Plane1 + 1920u * 1080u);
  EXPECT_EQ(full.Full.Plane3, full.Full.Plane1);
  EXPECT_EQ(full.Full.Format, 6u);
  EXPECT_EQ(full.Full.OffsetX, 0);
  EXPECT_EQ(full.Full.OffsetY, 8);
  EXPECT_EQ(full.Full.Width, 1920);
  EXPECT_EQ(full.Full.Height, 1080);

  FrameDescriptor rect;
  ASSERT_TRUE(DecodeFrameDescriptor(kDescriptorCases[1].image, &rect));
  EXPECT_EQ(rect.PacketKind, ToWire(FramePacketKind::RectView1));
  EXPECT_EQ(rect.Rect.X, 100);
  EXPECT_EQ(rect.Rect.Y, 200);
  EXPECT_EQ(rect.Rect.Width, 64);
  EXPECT_EQ(rect.Rect.Height, 32);
  EXPECT_EQ(rect.Rect.Plane2 - rect.Rect.Plane1, 3u * 1024u);
  EXPECT_EQ(rect.Rect.Format, ToWire(SurfaceFormat::Jpeg420));
  EXPECT_EQ(rect.DescriptorFlags, kDescriptorFlagFirstPass);

  FrameDescriptor patch;
  ASSERT_TRUE(DecodeFrameDescriptor(kDescriptorCases[2].image, &patch));
  EXPECT_EQ(patch.Patch.Width, 128);
  EXPECT_EQ(patch.Patch.Height, 64);
  EXPECT_EQ(patch.Patch.Dest1, 0x01000030u + 64u * 1920u + 96u);
  EXPECT_EQ(patch.Patch.Dest2, 0x011FA430u + 32u * 1920u + 96u);
  EXPECT_EQ(patch.Patch.Dest3, 0u);
  EXPECT_EQ(patch.Patch.Format, 13u);
}

TEST(FrameDescriptor, UnnamedBytesAreWrittenAsZero) {
  // A patch names nothing at message offsets 72-78. Bytes left in the struct by another
  // form, or in its reserved bytes, do not reach the wire.
  FrameDescriptor d;
  d.PacketKind = ToWire(FramePacketKind::JpegPatch);
  d.Full.Width = 0xABCD;   // message offsets 72-73
  d.Full.Height = 0xABCD;  // 74-75
  d.Reserved[1] = 0x77;    // 77
  const Bytes out = Encode(d, kFrameDescriptorSize, EncodeFrameDescriptor);
  for (size_t i = 40; i < 47; ++i) EXPECT_EQ(out[i], 0) << "descriptor byte " << i;
}

TEST(FrameDescriptor, UnknownKindsAndShortBuffersAreRefused) {
  FrameDescriptor d;
  d.PacketKind = 5;
  Bytes out(kFrameDescriptorSize, 0xEE);
  EXPECT_FALSE(EncodeFrameDescriptor(d, out));
  EXPECT_EQ(out, Bytes(kFrameDescriptorSize, 0xEE));
  FrameDescriptor untouched;
  untouched.Sequence = 9;
  for (uint32_t kind : {0u, 5u, 6u, 8u, 0x103u}) {
    Bytes image = kDescriptorCases[0].image;
    StoreLe32(image.data(), kind);
    EXPECT_FALSE(DecodeFrameDescriptor(image, &untouched)) << kind;
    EXPECT_EQ(untouched.Sequence, 9u);
  }
  d.PacketKind = ToWire(FramePacketKind::FullView1);
  ExpectShortBuffersRefused(d, kFrameDescriptorSize, EncodeFrameDescriptor,
                            DecodeFrameDescriptor);
}

// ---- INT_IN_PACKET --------------------------------------------------------------------------

Bytes SamplePacket() {
  Bytes b(64, 0);
  b[0] = kPacketFlagDisplay | kPacketFlagStatusValid;
  b[5] = 0x99;  // not read by this system, kept all the same
  b[12] = 0x04, b[13] = 0x03, b[14] = 0x02, b[15] = 0x01;
  b[19] = 0x05;
  b[35] = 0xC1;
  b[44] = 0x80;
  b[47] = 0x05;
  b[50] = 0x01;
  b[63] = 0x77;
  return b;
}

TEST(IntInPacket, RoundTripsTheFieldsAtTheirOffsets) {
  const Bytes image = SamplePacket();
  INT_IN_PACKET k;
  ASSERT_TRUE(DecodeIntInPacket(image, &k));
  EXPECT_EQ(k.PacketFlags, 0x24);
  EXPECT_EQ(k.AckSequence, 0x01020304u);
  EXPECT_EQ(k.EventBits, kEventFrameAck | kEventMonitorStatus0);
  EXPECT_EQ(k.StatusWord, 0xC1000000u);
  EXPECT_TRUE(k.StatusWord & kStatusBulkInWaiting);
  EXPECT_EQ(JackStateOfStatusWord(k.StatusWord), 0x41);
  EXPECT_EQ(k.RomStatus, 0x80);
  EXPECT_EQ(k.RomReplyKind, kRomReplyBurnResult);
  EXPECT_EQ(k.RomValue, 0x10000u);
  EXPECT_EQ(Encode(k, 64, EncodeIntInPacket), image);
}

TEST(IntInPacket, OnlyExactlySixtyFourBytesAreAPacket) {
  Bytes image = SamplePacket();
  image.resize(80, 0);
  for (size_t n : {size_t{0}, size_t{1}, size_t{32}, size_t{63}, size_t{65}, size_t{80}}) {
    INT_IN_PACKET k;
    k.AckSequence = 42;
    EXPECT_FALSE(DecodeIntInPacket(ByteSpan(image.data(), n), &k)) << n;
    EXPECT_EQ(k.AckSequence, 42u);
  }
  INT_IN_PACKET k;
  EXPECT_TRUE(DecodeIntInPacket(ByteSpan(image.data(), 64), &k));
  EXPECT_FALSE(DecodeIntInPacket(ByteSpan(image.data(), 64), nullptr));
  Bytes out(63, 0xEE);
  EXPECT_FALSE(EncodeIntInPacket(k, out));
  EXPECT_EQ(out, Bytes(63, 0xEE));
}

TEST(IntInPacket, JackStateMasksBitsTwentyFourToThirty) {
  const struct {
    uint32_t statusWord;
    uint8_t jack;
  } cases[] = {{0x41000000, 0x41}, {0x78000000, 0x40}, {0x80000000, 0x00},
               {0xFF000000, 0x47}, {0x00FFFFFF, 0x00}};
  for (const auto& c : cases) EXPECT_EQ(JackStateOfStatusWord(c.statusWord), c.jack) << c.statusWord;
}

// ---- CapabilityBlock ------------------------------------------------------------------------

TEST(CapabilityBlock, DecodesMagicFlagsViewsAndOverrides) {
  Bytes image = Image(112, {'D', 'I', 'S', 'P'});
  image[84] = 0xB9, image[85] = 0xD0;  // flags 0xD0B9
  image[88] = 0x02, image[89] = 0x0A;  // view 0: type 2, 10 timing records
  image[100] = 100;
  image[101] = 7;
  image[111] = 0x5E;  // not read, kept
  CapabilityBlock c;
  ASSERT_TRUE(DecodeCapabilityBlock(image, &c));
  EXPECT_EQ(c.Magic, kCapabilityMagic);
  EXPECT_EQ(c.CapabilityFlags, 0xD0B9u);
  EXPECT_TRUE(c.CapabilityFlags & kCapDetectView0);
  EXPECT_FALSE(c.CapabilityFlags & kCapDetectView1);
  EXPECT_TRUE(c.CapabilityFlags & kCapNoAckTracking);
  EXPECT_FALSE(c.CapabilityFlags & kCapForceFlipMode);
  EXPECT_TRUE(c.CapabilityFlags & kCapThreeStagingFrames);
  EXPECT_EQ(CapabilityRotation(c.CapabilityFlags), 3u);
  EXPECT_EQ(ViewDescriptorType(c.ViewDescriptor[0]), 2u);
  EXPECT_EQ(ViewDescriptorTimingCount(c.ViewDescriptor[0]), 10u);
  EXPECT_EQ(ViewDescriptorType(c.ViewDescriptor[1]), 0u);
  EXPECT_EQ(c.QualityOverride, 100);
  EXPECT_EQ(c.BandwidthLimit, 7);
  EXPECT_EQ(Encode(c, 112, EncodeCapabilityBlock), image);
  ExpectShortBuffersRefused(c, kCapabilityBlockSize, EncodeCapabilityBlock,
                            DecodeCapabilityBlock);
}

TEST(CapabilityBlock, FormatModeFollowsTheUsbGeneration) {
  const struct {
    uint32_t flags;
    uint16_t bcdUsb;
    uint32_t mode;
  } cases[] = {
      {0xD000, 0x0300, 0},  // bits 14-15 = 3 reads as 0 on USB 3
      {0xD000, 0x0200, 1},  // the same flags on USB 2 take bits 12-13
      {0xD000, 0x02FF, 1},  {0x8000, 0x0310, 2}, {0x2000, 0x0200, 2}, {0x3000, 0x0110, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CapabilityFormatMode(c.flags, c.bcdUsb), c.mode) << std::hex << c.flags << " "
                                                                 << c.bcdUsb;
  }
}

// ---- TimingRecord ---------------------------------------------------------------------------

const Bytes kTiming1080p = {
    0x14, 0x44, 0x02, 0x00,  // 148500 kHz
    0x3C, 0x00,              // 60 Hz
    0x98, 0x08, 0x80, 0x07,  // total 2200, width 1920
    0xD9, 0x07, 0x2B, 0x00,  // sync start 2009, width - 1 = 43
    0x65, 0x04, 0x38, 0x04,  // total 1125, height 1080
    0x3D, 0x04, 0x04, 0x00,  // sync start 1085, width - 1 = 4
    0xEE, 0x02, 0xE8, 0x03,  // PLL 750 / 1000
    0x18, 0x01, 0x01, 0x01, 0x00, 0x00};

TEST(TimingRecord, RoundTripsAndConvertsFromTheDeviceTable) {
  TimingRecord t;
  ASSERT_TRUE(DecodeTimingRecord(kTiming1080p, &t));
  EXPECT_EQ(t.PixelClockKhz, 148500u);
  EXPECT_EQ(t.RefreshHz, 60);
  EXPECT_EQ(t.Width, 1920);
  EXPECT_EQ(t.HSyncStart, 2009);
  EXPECT_EQ(t.HSyncWidthMinus1, 43);
  EXPECT_EQ(t.Height, 1080);
  EXPECT_EQ(t.VSyncStart, 1085);
  EXPECT_EQ(t.VSyncWidthMinus1, 4);
  EXPECT_EQ(t.PllFraction, 750);
  EXPECT_EQ(t.PllDenominator, kPllDenominator);
  EXPECT_EQ(t.PllMultiplier, 24);
  EXPECT_EQ(t.PllDividerCode, 1);
  EXPECT_EQ(t.WidthFlag, TimingWidthFlag(1920));
  EXPECT_EQ(Encode(t, 32, EncodeTimingRecord), kTiming1080p);

  // The device's table lists sync starts one lower and sync widths one higher.
  const TimingRecord device = ToDeviceTableForm(t);
  EXPECT_EQ(device.HSyncStart, 2008);
  EXPECT_EQ(device.HSyncWidthMinus1, 44);
  EXPECT_EQ(device.VSyncStart, 1084);
  EXPECT_EQ(device.VSyncWidthMinus1, 5);
  EXPECT_EQ(Encode(FromDeviceTableForm(device), 32, EncodeTimingRecord), kTiming1080p);

  EXPECT_EQ(TimingWidthFlag(1360), 2);
  EXPECT_EQ(TimingWidthFlag(1680), 2);
  EXPECT_EQ(TimingWidthFlag(1366), 0);
  ExpectShortBuffersRefused(t, kTimingRecordSize, EncodeTimingRecord, DecodeTimingRecord);
}

// ---- GammaRamp ------------------------------------------------------------------------------

TEST(GammaRamp, TablesLieAtFourTwoSixtyAndFiveSixteen) {
  Bytes image(772, 0);
  image[0] = 1;  // view 1 (station input) / kind on (plug-in)
  image[1] = 1;  // mode 1
  image[4] = 0xA0, image[259] = 0xA1;
  image[260] = 0xB0, image[515] = 0xB1;
  image[516] = 0xC0, image[771] = 0xC1;
  GammaRamp g;
  ASSERT_TRUE(DecodeGammaRamp(image, &g));
  EXPECT_EQ(g.Kind, kGammaKindOn);
  EXPECT_EQ(g.Mode, 1);
  EXPECT_EQ(g.Tables[0][0], 0xA0);
  EXPECT_EQ(g.Tables[0][255], 0xA1);
  EXPECT_EQ(g.Tables[1][0], 0xB0);
  EXPECT_EQ(g.Tables[1][255], 0xB1);
  EXPECT_EQ(g.Tables[2][0], 0xC0);
  EXPECT_EQ(g.Tables[2][255], 0xC1);
  EXPECT_EQ(kGammaTableIndex[0], 0x400);
  EXPECT_EQ(kGammaTableIndex[1], 0x200);
  EXPECT_EQ(kGammaTableIndex[2], 0x100);
  EXPECT_EQ(Encode(g, 772, EncodeGammaRamp), image);
  ExpectShortBuffersRefused(g, kGammaRampSize, EncodeGammaRamp, DecodeGammaRamp);
}

// ---- PanelPropertyRequest -------------------------------------------------------------------

TEST(PanelPropertyRequest, RotationUsesBytesFourAndSix) {
  const Bytes image = Image(16, {0x05, 0, 0, 0, 0x03, 0x00, 0x01, 0x00});
  PanelPropertyRequest r;
  ASSERT_TRUE(DecodePanelPropertyRequest(image, &r));
  EXPECT_EQ(r.Id, PanelPropertyRotation);
  EXPECT_EQ(PanelRotation(r), 3);
  EXPECT_EQ(PanelRotationFlag(r), 1);

  PanelPropertyRequest built;
  built.Id = PanelPropertyRotation;
  built.Value = PanelRotationValue(3, 1);
  EXPECT_EQ(Encode(built, 16, EncodePanelPropertyRequest), image);

  built.Id = PanelPropertyBrightness;
  built.Value = 80;
  EXPECT_EQ(Encode(built, 16, EncodePanelPropertyRequest), Image(16, {3, 0, 0, 0, 80}));
  ExpectShortBuffersRefused(built, kPanelPropertyRequestSize, EncodePanelPropertyRequest,
                            DecodePanelPropertyRequest);
}

// ---- DdiVersionInfo -------------------------------------------------------------------------

TEST(DdiVersionInfo, EncodesEveryFieldAtItsOffset) {
  DdiVersionInfo v;
  v.InterfaceVersion = kDdiInterfaceVersion;
  v.InterfaceBuild = kDdiInterfaceBuild;
  v.StationIndex = 0x80;
  v.HwPlatform = 1;
  v.BootCodeVersion = 0x00010203;
  v.ImageCodeVersion = 0x11;
  std::memcpy(v.PrjCode, "PRJ-0001", 8);
  v.DeviceId = 0x1122334455667788ull;
  const Bytes image = {0x01, 0x04, 0x10, 0x16, 0x5C, 0x01, 0x80, 0x01, 0x03, 0x02, 0x01, 0x00,
                       0x11, 0x00, 0x00, 0x00, 'P',  'R',  'J',  '-',  '0',  '0',  '0',  '1',
                       0,    0,    0,    0,    0,    0,    0,    0,    0x88, 0x77, 0x66, 0x55,
                       0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(Encode(v, 40, EncodeDdiVersionInfo), image);
  DdiVersionInfo back;
  ASSERT_TRUE(DecodeDdiVersionInfo(image, &back));
  EXPECT_EQ(back.DeviceId, v.DeviceId);
  EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0);
  ExpectShortBuffersRefused(v, kDdiVersionInfoSize, EncodeDdiVersionInfo, DecodeDdiVersionInfo);
}

// ---- IpCommandPacket ------------------------------------------------------------------------

TEST(IpCommandPacket, EncodesTheRequestItReplaces) {
  IpCommandPacket shape;
  shape.Request = ReqCursorShape0;
  shape.Value = 3;  // slot
  shape.Length = 0x0808;
  shape.Reserved[4] = 0x99;  // never reaches the wire
  EXPECT_EQ(Encode(shape, 16, EncodeIpCommandPacket),
            Image(16, {0x10, 0x00, 0x03, 0x00, 0x00, 0x00, 0x08, 0x08}));

  IpCommandPacket position;
  position.Request = ReqCursorPosition1;
  position.Value = CursorCoordinateToWire(-5);
  position.Index = CursorCoordinateToWire(7);
  const Bytes image = Image(16, {0x06, 0x00, 0xFA, 0xFF, 0x07, 0x00});
  EXPECT_EQ(Encode(position, 16, EncodeIpCommandPacket), image);
  IpCommandPacket back;
  ASSERT_TRUE(DecodeIpCommandPacket(image, &back));
  EXPECT_EQ(CursorCoordinateFromWire(back.Value), -5);
  EXPECT_EQ(CursorCoordinateFromWire(back.Index), 7);
  ExpectShortBuffersRefused(position, kIpCommandPacketSize, EncodeIpCommandPacket,
                            DecodeIpCommandPacket);
}

}  // namespace
}  // namespace vorn::protocol
