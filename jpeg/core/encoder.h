// The JPEG encoder core: the description of the source, the coding parameters, the MCU grid
// derived from them, the colour components with their MCU-row buffers, the quantisation and
// Huffman tables, the coefficient buffer, the output bit stream and the Huffman coder state.
//
// Order of use: a source setter, SetParams (it reads the source's size, precision and
// channels), SetDensity and SetComment in any order, SetOutputStream, WriteHeader (which
// prepares every buffer), WriteData. One encoder codes one image.
//
// This build codes baseline frames (mode 1) from interleaved 8-bit sources, with the standard
// Huffman tables or with tables built for the image (optimizeHuffman), progressive frames
// (mode 3) of 1, 3 or 4 components from the same sources, every scan with tables of its own,
// and extended frames (mode 2) of 12-bit samples, always with tables built for the image.
// Baseline and extended frames also take planar sources (one plane a component, at the
// component's resolution). SetParams refuses the other modes, other component counts in mode
// 3, other precisions and planar progressive frames with -3, so a mode not built never
// reaches the buffers or the scans.
// Lossless frames (mode 4) have a parameter setter of their own, SetLosslessParams.
#pragma once

#include <cstdint>
#include <vector>

#include "jpeg/core/color_component.h"
#include "jpeg/core/core_types.h"
#include "jpeg/entropy/huffman_state.h"
#include "jpeg/entropy/huffman_table.h"
#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/quant/quant_table.h"
#include "jpeg/stream/bitstream_output.h"

namespace vorn::jpeg {

// One scan of a progressive frame: its components (positions in the frame), its band of
// zigzag positions Ss..Se and its successive-approximation bits Ah (of the previous scan of
// the band, 0 for a first scan) and Al (the low bits left out).
struct ScanDescriptor {
  int32_t componentCount;
  int32_t componentIndices[4];
  int32_t ss;
  int32_t se;
  int32_t ah;
  int32_t al;
};

class CJPEGEncoder {
 public:
  static constexpr int32_t kMaxComponents = 4;
  static constexpr int32_t kCoefficientBlockBytes = 128;  // 64 coefficients of 16 bits
  static constexpr int32_t kBitStreamBytes = 4096;
  static constexpr int32_t kBlockFlushMinFree = 256;  // room kept free before each block
  static constexpr int32_t kMaxCommentLength = 65533;
  static constexpr int32_t kCommentTextLimit = 127;  // bytes of the caller's comment written

  CJPEGEncoder();
  virtual ~CJPEGEncoder();
  CJPEGEncoder(const CJPEGEncoder&) = delete;
  CJPEGEncoder& operator=(const CJPEGEncoder&) = delete;

  // Source setters: they store the description and return 0 (the planar 8-bit form -3 for
  // four channels whose colour differs from the frame colour already set). The 16-bit forms
  // turn Huffman optimisation on above 10 bits of precision. Samples are 8-bit up to 8 bits
  // of precision and 16-bit above: the parameter setters refuse a source of the other width.
  JpegCoreStatus SetInterleavedSource8(const uint8_t* pixels, int32_t step, int32_t width,
                                       int32_t height, int32_t channels, int32_t color,
                                       int32_t sampling, int32_t precision);
  JpegCoreStatus SetInterleavedSource16(const uint16_t* pixels, int32_t step, int32_t width,
                                        int32_t height, int32_t channels, int32_t color,
                                        int32_t sampling, int32_t precision);
  JpegCoreStatus SetPlanarSource8(const uint8_t* const planes[4], const int32_t steps[4],
                                  int32_t width, int32_t height, int32_t channels, int32_t color,
                                  int32_t sampling, int32_t precision);
  JpegCoreStatus SetPlanarSource16(const uint16_t* const planes[4], const int32_t steps[4],
                                   int32_t width, int32_t height, int32_t channels, int32_t color,
                                   int32_t sampling, int32_t precision);

  // Attaches the output; drops the bit stream's buffer (WriteHeader allocates a new one).
  JpegCoreStatus SetOutputStream(ImageCodec::BaseStreamOutput* stream);
  // APP0 density: units 0 to 2, else -3 and nothing changes.
  JpegCoreStatus SetDensity(int32_t units, int32_t xDensity, int32_t yDensity);
  // A length above 65533 gives -3. A non-null text is kept (borrowed, zero-terminated; the
  // header measures it itself); a null text keeps the earlier one.
  JpegCoreStatus SetComment(int32_t length, const char* text);

  // Stores the coding parameters, derives the MCU grid and sets up the tables. -3 for a
  // refused parameter (nothing stored), -2 or -6 from a table helper.
  JpegCoreStatus SetParams(int32_t mode, int32_t color, int32_t sampling, int32_t restartInterval,
                           int32_t optimizeHuffman, int32_t quality, int32_t reserved);

  // The parameters of a lossless frame (SOF3), which SetParams refuses: one coded row per
  // image row, predictor 1 and no point transform, every component at full resolution.
  // Without optimizeHuffman every component codes with the standard luminance DC table, whose
  // categories reach 11 bits, so a precision above 11 needs optimizeHuffman; with it every
  // component gets a DC table of its own built from the image. The restart interval counts
  // samples and must be a whole number of rows, so that every restart falls on a row start.
  // -3 for a refused parameter (nothing stored), -2 or -6 from a table helper.
  JpegCoreStatus SetLosslessParams(int32_t color, int32_t restartInterval,
                                   int32_t optimizeHuffman);

  // Derives the per-component factors and allocates every buffer (WriteHeader calls it).
  JpegCoreStatus PrepareBuffers();
  // Every marker segment before the scan, then pushed to the output stream.
  JpegCoreStatus WriteHeader();
  // The scan header, the entropy-coded data and EOI; -3 unless WriteHeader has completed
  // since the source, the parameters or the output were last set.
  JpegCoreStatus WriteData();
  // One DHT segment of |table|.
  JpegCoreStatus WriteHuffmanTableSegment(const CJPEGEncoderHuffmanTable& table);
  // The statistics pass of a baseline or extended frame with optimizeHuffman: converts and
  // transforms the whole image into the coefficient buffer, counts the symbols the scan will
  // code, installs the tables built from them (baseline: component 0 tables 0, the others
  // tables 1 in a YCbCr or YCCK frame; extended: component k tables k) and writes their DHT
  // segments. WriteHeader calls it in place of the standard ones.
  JpegCoreStatus OptimizeHuffmanTables();
  // The single scan of a lossless frame: SOS, then every row's differences coded interleaved
  // sample by sample, with a restart marker before each row that starts an interval.
  JpegCoreStatus EncodeLosslessScan();
  // The statistics pass of a lossless frame with optimizeHuffman: every row's differences
  // stored for the scan, their categories counted per component, and a DC table built,
  // installed and written for each component (component k uses DC table k).
  JpegCoreStatus OptimizeLosslessHuffmanTable();
  // A progressive scan: its statistics, tables and DHT segments, then its SOS segment and
  // entropy-coded data, from the whole image's coefficients.
  JpegCoreStatus OptimizeProgressiveScanTables(int32_t n, const int32_t* componentIndices,
                                               int32_t ss, int32_t se, int32_t ah, int32_t al);
  JpegCoreStatus EncodeProgressiveScan(int32_t n, const int32_t* componentIndices, int32_t ss,
                                       int32_t se, int32_t ah, int32_t al);
  // The scan script of a progressive frame (empty in the other modes).
  const std::vector<ScanDescriptor>& ScanScript() const { return scanScript_; }

  // MCU-row preparation of an interleaved source: colour conversion (or channel split) into
  // the converted buffers, then edge padding and chroma down-sampling into the subsampled
  // buffers. -1 when the source colour has no path to the frame colour, -2 when a primitive
  // fails.
  JpegCoreStatus ConvertMcuRow(int32_t row, int32_t slot);
  JpegCoreStatus DownsampleMcuRow(int32_t row, int32_t slot);
  // Both steps at once, with the same samples: B,G,R,x pixels into a 4:2:0 YCbCr frame go
  // through one pass over each pair of rows, which writes Y and the halved chroma; every other
  // source and frame through ConvertMcuRow and DownsampleMcuRow.
  JpegCoreStatus ConvertAndDownsampleMcuRow(int32_t row, int32_t slot);
  // The same for a planar source: each plane, taken at its component's resolution, copied
  // into the subsampled buffer with its last column and (in the last MCU row) its last row
  // repeated into the padding. -2 when a copy fails.
  JpegCoreStatus CopyPlanarMcuRow(int32_t row, int32_t slot);

  // Read access for the frame encoder and tests.
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int32_t ComponentCount() const { return componentCount_; }
  int32_t Mode() const { return mode_; }
  int32_t McuWidth() const { return mcuWidth_; }
  int32_t McuHeight() const { return mcuHeight_; }
  int32_t McusPerRow() const { return mcusPerRow_; }
  int32_t McuRows() const { return mcuRows_; }
  int32_t PaddedWidth() const { return paddedWidth_; }
  int32_t PaddingColumns() const { return paddingColumns_; }
  int32_t PaddingRows() const { return paddingRows_; }
  int32_t BlocksPerMcu() const { return blocksPerMcu_; }
  int32_t RestartInterval() const { return restartInterval_; }
  int32_t OptimizeHuffman() const { return optimizeHuffman_; }
  int32_t CoefficientBufferBytes() const { return coefficientBytes_; }
  const int16_t* CoefficientBuffer() const { return coefficients_; }
  const CJPEGColorComponent& Component(int32_t i) const { return components_[i]; }
  const prim::CJPEGEncoderQuantTable& QuantTable(int32_t i) const { return quantTables_[i]; }
  const CJPEGEncoderHuffmanTable& DcTable(int32_t i) const { return dcTables_[i]; }
  const CJPEGEncoderHuffmanTable& AcTable(int32_t i) const { return acTables_[i]; }

 private:
  // Records the geometry and kind of the source a setter was given.
  void RecordSource(int32_t width, int32_t height, int32_t channels, int32_t color,
                    int32_t sampling, int32_t precision, int32_t planar);
  // ConvertMcuRow for samples above 8 bits: copies and channel splits of 16-bit samples.
  JpegCoreStatus ConvertWideMcuRow(int32_t row, int32_t slot, int32_t rows);
  // The single scan of a baseline frame: from an interleaved source, and from planes.
  JpegCoreStatus EncodeBaselineScan();
  JpegCoreStatus EncodeBaselineScanPlanar();
  // The single scan of an extended frame, coded from the coefficients of the statistics pass
  // (interleaved or planar source).
  JpegCoreStatus EncodeExtendedScan();
  JpegCoreStatus EncodeExtendedScanPlanar();
  // The body the sequential scans share: SOS, then every MCU row prepared and transformed
  // (unless the statistics pass left the whole image transformed) and coded.
  JpegCoreStatus EncodeSequentialRows();
  // One MCU row into the components' subsampled buffers: planes copied, interleaved pixels
  // converted and down-sampled.
  JpegCoreStatus PrepareMcuRow(int32_t row);
  // Last DCs, restart state and coder state reset, then the SOS segment.
  JpegCoreStatus BeginSequentialScan();
  JpegCoreStatus WriteScanHeader();
  // The blocks of one MCU row in coding order, at |blocks|.
  JpegCoreStatus TransformMcuRow(int16_t* blocks);
  // The blocks coder's scan state from the scan's tables, layout and restart state.
  JpegCoreStatus BeginBlocksCoder();
  JpegCoreStatus EncodeMcuRow(const int16_t* blocks);
  // The first block of MCU row |row| in the coefficient buffer (the whole image with
  // optimizeHuffman, else one MCU row used again for every row).
  int16_t* McuRowBlocks(int32_t row) const;
  // The whole image into the coefficient buffer, MCU row by MCU row.
  JpegCoreStatus TransformImage();
  JpegCoreStatus EncodeProgressiveScans();
  // The differences of image row |row| of every component, into |diffs| (component k at
  // k x width); the first row of the frame and of each restart interval are predicted
  // without a row above.
  JpegCoreStatus LosslessRowDifferences(int32_t row, int16_t* diffs);
  // The lossless restart bookkeeping after a row: restarts-to-go drops by the row length and
  // the next row starts an interval when it reaches 0.
  void CountLosslessRow();
  // Bytes of difference rows the lossless scan needs in the coefficient buffer.
  int64_t LosslessDifferenceBytes() const;
  // Calls |visit|(component, block) for every block of an AC scan of |component|, in the
  // scan's order, stopping at the first non-zero result.
  template <typename Visit>
  JpegCoreStatus ForEachAcScanBlock(int32_t component, Visit visit);
  // Calls |visit|(component, block) for every block of every MCU in raster order, and
  // |mcuStart|() before each MCU, stopping at the first non-zero result.
  template <typename McuStart, typename Visit>
  JpegCoreStatus ForEachDcScanBlock(McuStart mcuStart, Visit visit);
  JpegCoreStatus WriteProgressiveRestart(bool dcScan, bool refine, const uint32_t* acSpec);
  JpegCoreStatus WriteComment();
  JpegCoreStatus WriteQuantTableSegment(const prim::CJPEGEncoderQuantTable& table);
  JpegCoreStatus WriteFrameHeader();
  JpegCoreStatus WriteApplicationSegment();
  JpegCoreStatus FlushBlockBits();
  void FreeComponentBuffers();
  bool HasChromaTables() const;
  // Whether the setter's sample width is the one the precision asks for.
  bool SampleWidthFitsPrecision() const;

  const uint8_t* sourcePlanes_[4] = {};
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t sourceSteps_[4] = {};
  int32_t sourcePrecision_ = 0;
  int32_t sourceChannels_ = 0;
  int32_t sourceColor_ = ColorUnknown;
  int32_t sourceSampling_ = SamplingOther;
  int32_t planar_ = 0;
  int32_t sourceSampleBytes_ = 1;  // 1 from the 8-bit setters, 2 from the 16-bit ones
  CBitStreamOutput bitStream_;
  int32_t componentCount_ = 0;
  int32_t precision_ = 8;
  int32_t sampling_ = Sampling444;
  int32_t color_ = ColorUnknown;
  int32_t quality_ = 100;
  int32_t restartInterval_ = 0;
  int32_t mode_ = ModeBaseline;
  int32_t mcusPerRow_ = 0;
  int32_t mcuRows_ = 0;
  int32_t mcuWidth_ = 0;
  int32_t mcuHeight_ = 0;
  int32_t paddedWidth_ = 0;
  int32_t rowsPerMcuRow_ = 0;
  int32_t paddingColumns_ = 0;
  int32_t paddingRows_ = 0;
  int32_t restartsToGo_ = 0;
  int32_t nextRestartNumber_ = 0;
  int32_t ss_ = 0;
  int32_t se_ = 63;
  int32_t al_ = 0;
  int32_t ah_ = 0;
  int32_t predictor_ = 1;       // lossless frames only; no operation changes either
  int32_t pointTransform_ = 0;
  bool firstRowOfInterval_ = false;  // lossless: the next row has no row above it
  int32_t optimizeHuffman_ = 0;
  int16_t* coefficients_ = nullptr;
  int32_t coefficientBytes_ = 0;
  int32_t slotCount_ = 0;
  int32_t blocksPerMcu_ = 0;
  int32_t xDensity_ = 1;
  int32_t yDensity_ = 1;
  int32_t densityUnits_ = 0;
  const char* comment_ = nullptr;
  int32_t mcuRowsPerCoefficientPass_ = 0;
  // Set by a complete WriteHeader; cleared when the source, parameters or output change.
  bool headerWritten_ = false;
  CJPEGColorComponent components_[kMaxComponents];
  prim::CJPEGEncoderQuantTable quantTables_[kMaxComponents];
  CJPEGEncoderHuffmanTable dcTables_[kMaxComponents];
  CJPEGEncoderHuffmanTable acTables_[kMaxComponents];
  CJPEGEncoderHuffmanState huffmanState_;
  prim::BaselineScanCoder scanCoder_{};  // the baseline scan's coder state between MCU rows
  std::vector<ScanDescriptor> scanScript_;
};

}  // namespace vorn::jpeg
