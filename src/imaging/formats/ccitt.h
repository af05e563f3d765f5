// CCITT fax coding of bilevel rows: modified Huffman, Group 3 one- and
// two-dimensional (T.4) and Group 4 (T.6), as TIFF stores them.
//
// Rows are px1g rows: ceil(width / 8) bytes, most significant bit leftmost,
// 1 = white, for the decoder's output and the encoder's input alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TPxBitmap;
struct TFaxBitReader;

enum TFaxCoding : uint8_t {
  fcModifiedHuffman,  // one-dimensional, every row starts on a byte, no end-of-line codes
  fcGroup3_1D,        // one-dimensional rows, each after an end-of-line code
  fcGroup3_2D,        // end-of-line code and a tag bit, then a 1-D or a 2-D row
  fcGroup4,           // 2-D rows against the previous one, no end-of-line codes
};

struct TFaxOptions {
  TFaxCoding Coding = fcGroup4;
  int Width = 0;
  // Bytes hold their first bit in the least significant place (TIFF FillOrder 2).
  bool LsbFirst = false;
  // Encoder: zero bits before each end-of-line code so that it ends on a byte
  // (TIFF T4Options bit 2). Decoders accept fill bits whatever this says.
  bool AlignEol = false;
};

// Decodes the rows of one strip. Untrusted data: the reader never looks past
// the bytes it was given (beyond them it sees zero bits, which are no code).
class TFaxDecoder {
 public:
  explicit TFaxDecoder(const TFaxOptions& options);

  // Starts a strip: the reference row is white again.
  void BeginStrip(const uint8_t* data, size_t size);
  // Decodes the next row into row. False when the code is damaged (an unknown
  // code word, a run past the row, a missing end-of-line code) or the data end
  // before the row does: the row then holds what could be decoded, white
  // elsewhere, and the caller should stop.
  bool DecodeRow(uint8_t* row);

 private:
  bool DecodeRow1D(TFaxBitReader& in);
  bool DecodeRow2D(TFaxBitReader& reader);
  bool DecodeRow2DWith(TFaxBitReader& in);
  bool Uncompressed(TFaxBitReader& in, int& a0, int& colour);
  void PaintAndKeep(uint8_t* row);

  TFaxOptions options_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  uint64_t bitPos_ = 0;
  bool firstRow_ = true;
  // Changing elements (positions where the colour flips, the first to black),
  // of the row being decoded and of the reference row, each followed by
  // sentinels at the width.
  std::vector<int32_t> cur_;
  std::vector<int32_t> ref_;
};

// Codes rows into one strip after another. The bytes of each row appear in
// Output() as soon as they are complete; the caller takes them away when it likes.
class TFaxEncoder {
 public:
  explicit TFaxEncoder(const TFaxOptions& options);

  void EncodeRow(const uint8_t* row);
  // Ends the strip (end codes, zero bits up to a byte); the next row starts a
  // new strip with a white reference row.
  void EndStrip();

  std::vector<uint8_t>& Output() { return out_; }

 private:
  void PutBits(uint32_t code, int length);
  void PutRun(int run, bool black);
  void PutEol();
  void FlushByte();
  void Code1D(const std::vector<int32_t>& changes);
  void Code2D(const std::vector<int32_t>& changes);

  TFaxOptions options_;
  std::vector<uint8_t> out_;
  uint64_t acc_ = 0;  // pending bits, most significant first
  int accBits_ = 0;
  bool firstRow_ = true;
  std::vector<int32_t> cur_;
  std::vector<int32_t> ref_;
};

// Decodes rows [firstRow, firstRow + rows) of bitmap (px1g) from one strip.
// False when the code was damaged; the rows decoded until then stay.
bool FaxDecodeStrip(const TFaxOptions& options, const uint8_t* data, size_t size,
                    TPxBitmap& bitmap, int firstRow, int rows);

// The changing elements of a px1g row (see TFaxDecoder), with three sentinels
// at width. Whole bytes of one colour are skipped eight pixels at a time.
void FaxRowChanges(const uint8_t* row, int width, std::vector<int32_t>& changes);
