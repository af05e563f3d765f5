// File type numbers and the progress record that every reader and writer
// reports through; shared by the codecs and the input/output core.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>

class TImagingIO;

// FileType numbers.
enum : int32_t {
  ioUnknown = 0,
  ioTIFF = 1,
  ioGIF = 2,
  ioJPEG = 3,
  ioPCX = 4,
  ioBMP = 5,
  ioICO = 6,
  ioCUR = 7,
  ioPNG = 8,
  ioWMF = 9,
  ioEMF = 10,
  ioTGA = 11,
  ioPXM = 12,
  ioJP2 = 13,
  ioJ2K = 14,
  ioAVI = 15,
  ioWBMP = 16,
  ioPS = 17,
  ioPDF = 18,
  ioDCX = 19,
  ioRAW = 20,
  // Added rows, beyond the numbers of the original table.
  ioHEIF = 21,
  ioWEBP = 22,
};

using TPxProgressEvent = std::function<void(TImagingIO* sender, int per)>;
using TPxNotifyEvent = std::function<void(TImagingIO* sender)>;

// What a reader or writer gets to report progress and to learn that it must
// stop: Aborting is tested after every row, and set on failure.
struct TPxProgress {
  TPxProgressEvent Event;  // may be empty
  TImagingIO* Sender = nullptr;
  bool* Aborting = nullptr;
  double Value = 0;  // percent done so far
  double Step = 0;   // percent per unit of work
  int LastPer = -1;

  // Prepares for `units` equal steps (rows, or rows times passes).
  void Begin(int64_t units) {
    Value = 0;
    Step = units > 0 ? 100.0 / static_cast<double>(units) : 0;
  }
  void Advance(int64_t units = 1) {
    Value += Step * static_cast<double>(units);
    Report(static_cast<int>(std::lround(Value)));
  }
  void Report(int per) {
    if (Event && per != LastPer) {
      LastPer = per;
      Event(Sender, per);
    }
  }
  bool Aborted() const { return Aborting && *Aborting; }
  void Abort() {
    if (Aborting) *Aborting = true;
  }
};

