// Reading images from files and streams into a TPxBitmap and writing them out,
// in the formats of the format table; format recognition; background loads.
#pragma once

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprint.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/resample.h"

// Shapes of the functions a format table row carries.
using TPxReadFunction =
    std::function<void(TPxStream& stream, TPxBitmap* bitmap, TIOParamsVals& params, bool paramsOnly,
                       TPxProgress& progress)>;
using TPxWriteFunction = std::function<void(TPxStream& stream, TPxBitmap* bitmap,
                                            TIOParamsVals& params, TPxProgress& progress)>;
using TPxTestFunction = std::function<bool(TPxStream& stream)>;
// The format's own fields of a read, as text for a reader ("4 bits, RLE4"); empty: nothing to add.
using TPxDescribeFunction = std::function<std::string(const TIOParamsVals& params)>;

// One row of the format table: everything the input/output core knows of a
// format. The defaults are those of a row added by an extension of the library.
struct TPxFileFormat {
  int32_t FileType = 0;
  std::string FullName;    // up to 80 characters
  std::string Extensions;  // upper case, separated by ";"
  uint16_t DialogPage = 0;
  TPxReadFunction ReadFunction;    // empty: not readable
  TPxWriteFunction WriteFunction;  // empty: not writable
  // Content test, reading from the stream's position (restored by the caller).
  TPxTestFunction TestFunction;
  TPxDescribeFunction Describe;  // empty: nothing to add
  // Tag of the 12-byte header its stream reader skips and its stream writer
  // puts first when StreamHeaders is on; empty: streams get none.
  std::string StreamTag;
  // The writer keeps an alpha plane; without, transparency lands on white first.
  bool WriteKeepsAlpha = false;
  // Pixel formats the writer takes; an image in another one is converted to
  // pxRGB24 first (the image itself). Empty: the writer takes every format.
  std::vector<TPxPixelFormat> WritePixelFormats{px1g, pxRGB24};
  // For a format whose file may name a background colour: hands the
  // component's background (a colour reference) to the read before it runs,
  // and takes the one to use after a full read. Both empty: left alone.
  std::function<void(TIOParamsVals& params, uint32_t background)> GiveBackground;
  std::function<uint32_t(const TIOParamsVals& params)> TakeBackground;
};

// The format table, built once, in registration order.
const std::vector<TPxFileFormat>& PxFileFormats();
// Adds a row at the end (a format added by an extension of the library).
// Call before any loading starts; the table is not locked.
void PxRegisterFileFormat(TPxFileFormat format);
// First row with that FileType, or nullptr.
const TPxFileFormat* PxFindFileFormat(int32_t fileType);
// First row with that extension (case-insensitive, a leading "." ignored), or nullptr.
const TPxFileFormat* PxFindFileFormatByExtension(const std::string& extension);
// The n-th (from 0) extension of a type, lower case; empty when none.
std::string PxGetFileExtension(int32_t fileType, int n);
int PxGetFileExtensionCount(int32_t fileType);
// The extension of a name from its last "." after the last "/", with the dot;
// empty when there is none.
std::string PxExtractFileExt(const std::string& fileName);
// True when the name's extension has a readable table row.
bool IsKnownFormat(const std::string& fileName);

// What a view offers to the input/output object that serves it.
class TPxIOViewLink {
 public:
  // The bitmap of the view's current layer.
  virtual TPxBitmap* IOBitmap() = 0;
  // The image changed; from a worker thread the view must hand the refresh
  // over to its own thread.
  virtual void IOImageChanged(bool fromWorker) = 0;
  virtual void IOSetDpi(int32_t dpiX, int32_t dpiY) = 0;
  // Background colour as a colour reference (red in the low byte).
  virtual uint32_t IOBackground() = 0;
  virtual void IOSetBackground(uint32_t color) = 0;

 protected:
  ~TPxIOViewLink() = default;
};

enum TMsgLanguage : uint8_t {
  msSystem, msEnglish, msItalian, msGerman, msSpanish, msFrench, msPortuguese,
  msGreek, msRussian, msDutch, msSwedish, msPolish, msUser,
};
enum TPxDialogsMeasureUnit : uint8_t {
  pxduInches, pxduCm, pxduSelectableDefInches, pxduSelectableDefCm,
};

class TPxIOThread;

class TImagingIO : public TPxParamsOwner {
 public:
  TImagingIO();
  virtual ~TImagingIO();
  TImagingIO(const TImagingIO&) = delete;
  TImagingIO& operator=(const TImagingIO&) = delete;

  // Target of loads and saves.
  TPxIOViewLink* AttachedView() const { return view_; }
  void SetAttachedView(TPxIOViewLink* view);
  // An outside bitmap becomes the target (not owned).
  void SetTargetBitmap(TPxBitmap* bitmap);
  TPxBitmap* Bitmap() const override;
  bool OwnsBitmap() const { return ownBitmap_ != nullptr; }

  uint32_t Background() const;
  void SetBackground(uint32_t color);
  bool NativePixelFormat() const { return Params.NativePixelFormat; }
  void SetNativePixelFormat(bool value) { Params.NativePixelFormat = value; }

  virtual void LoadFromFile(const std::string& fileName);
  virtual void LoadFromFileAuto(const std::string& fileName);
  virtual void LoadFromFileAsType(const std::string& fileName, int32_t fileType);
  virtual void LoadFromStream(TPxStream& stream);
  virtual void LoadFromStreamAsType(TPxStream& stream, int32_t fileType);
  virtual void SaveToFile(const std::string& fileName);
  virtual void SaveToStream(TPxStream& stream, int32_t fileType);
  virtual void ReadParamsFromFile(const std::string& fileName);
  virtual void ReadParamsFromFileAsType(const std::string& fileName, int32_t fileType);
  virtual void ReadParamsFromStream(TPxStream& stream);

  // Draws the image onto a printer page into the rectangle (x, y, width,
  // height) in inches from the canvas origin; gamma 1.0 applies none.
  void PrintImageAt(TPxPrinterCanvas& canvas, double x, double y, double width, double height,
                    double gamma);

  static int32_t DetectStreamType(TPxStream& stream);
  static int32_t DetectFileType(const std::string& fileName, bool verifyExtension);

  // Waits until no worker thread runs for this object and joins them; with
  // abort, asks them to stop.
  void WaitForWorkers(bool abort);
  // True when the calling thread is one of this object's workers.
  bool IsWorkerThread() const;
  int WorkerCount() const;

  TIOParamsVals Params;
  bool Aborting = false;
  bool StreamHeaders = false;
  bool AutoAdjustDPI = false;
  bool FilteredAdjustDPI = false;
  bool RunInBackground = false;
  bool SimplifiedParamsDialogs = true;
  TMsgLanguage MsgLanguage = msSystem;
  TPxDialogsMeasureUnit DialogsMeasureUnit = pxduInches;
  // Filter used when printing reduces the image.
  TResampleFilter PrintFilter = rfFastLinear;
  TPxProgressEvent OnProgress;
  TPxNotifyEvent OnFinishWork;

 protected:
  // Square pixels after a load (when AutoAdjustDPI is on).
  void AdjustDpi();

 private:
  friend class TPxIOThread;

  TPxProgress MakeProgress();
  // A load or save that cannot start: failed, with the end-of-work events all the same.
  void AbortWork();
  void FinishWork(TPxProgress& progress);
  bool HandOff(std::function<void()> operation);
  void LoadFileAs(const std::string& fileName, int32_t fileType, bool byTable);
  void SaveFileAs(const std::string& fileName, int32_t fileType, bool byTable);
  void ReadFormat(TPxStream& stream, int32_t fileType, bool byTable, TPxProgress& progress,
                  bool paramsOnly);
  // The bitmap to write: the target itself (converted to a pixel format the
  // writer takes), or a copy of it flattened on white (held in `flattened`)
  // for a format that keeps no transparency; nullptr when that copy cannot be made.
  TPxBitmap* PrepareForWrite(int32_t fileType, TPxBitmap& flattened);
  void WriteFormat(TPxStream& stream, TPxBitmap* bitmap, int32_t fileType, bool byTable,
                   TPxProgress& progress);
  void AfterLoad(int32_t fileType);
  void ParamsDpiChanged() override;
  // Joins and frees the workers that have ended.
  void ReapFinished();

  std::unique_ptr<TPxBitmap> ownBitmap_;
  TPxBitmap* target_ = nullptr;  // the own bitmap, or an outside one
  TPxIOViewLink* view_ = nullptr;
  uint32_t background_ = 0;

  mutable std::mutex workersLock_;
  std::condition_variable workersDone_;
  std::vector<TPxIOThread*> workers_;
  std::vector<TPxIOThread*> finished_;
};
