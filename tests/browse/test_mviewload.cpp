// Thumbnail grid loading: the placeholder of a picture that cannot be read,
// reduced JPEG reading, loads on the calling thread and in background, loads
// abandoned when their entries leave the view, AbortLoads and Clear while
// loads run, and destruction while loads run.
//
// A test format (".gate") holds its reads at a gate the test opens, so that
// loads are running at the moment a test needs.
#include <gtest/gtest.h>
#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "browse/imagingmview.h"
#include "mviewtest.h"

using mviewtest::HostedGrid;
using mviewtest::PixelAt;
using mviewtest::WaitFor;

namespace {

// --- the gate format ---------------------------------------------------------------

struct Gate {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Open = false;
  int Active = 0;   // reads waiting at the gate
  int Started = 0;  // reads that reached it
  void Reset() {
    std::lock_guard<std::mutex> lock(Mutex);
    Open = false;
    Started = 0;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(Mutex);
    Open = true;
    Changed.notify_all();
  }
  int ActiveNow() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Active;
  }
  int StartedNow() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Started;
  }
};

Gate& TheGate() {
  static Gate gate;
  return gate;
}

constexpr int32_t kGateType = 201;

// "GATE", a flag (1: the read does not stop when asked to), a colour
// reference of three bytes. Pictures are 64 x 48.
void RegisterGate() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  TPxFileFormat f;
  f.FileType = kGateType;
  f.FullName = "Gate test pictures";
  f.Extensions = "GATE";
  f.TestFunction = [](TPxStream& s) {
    char head[4];
    return s.ReadExact(head, 4) && std::memcmp(head, "GATE", 4) == 0;
  };
  f.ReadFunction = [](TPxStream& s, TPxBitmap* b, TIOParamsVals& p, bool paramsOnly,
                      TPxProgress& progress) {
    uint8_t head[8];
    if (!s.ReadExact(head, 8) || std::memcmp(head, "GATE", 4) != 0) {
      progress.Abort();
      return;
    }
    p.Width = 64;
    p.Height = 48;
    if (paramsOnly) return;
    const bool stubborn = head[4] == 1;
    Gate& g = TheGate();
    std::unique_lock<std::mutex> lock(g.Mutex);
    ++g.Active;
    ++g.Started;
    int tick = 0;
    bool stopped = false;
    while (!g.Open) {
      if (!stubborn) {
        lock.unlock();
        progress.Report(tick++ % 2);  // where a reader tests its abort flag
        lock.lock();
        if (progress.Aborted()) {
          stopped = true;
          break;
        }
      }
      g.Changed.wait_for(lock, std::chrono::milliseconds(1));
    }
    --g.Active;
    lock.unlock();
    if (stopped) return;
    b->Allocate(64, 48, pxRGB24);
    b->Fill(double(head[5] | (head[6] << 8) | (head[7] << 16)));
  };
  PxRegisterFileFormat(std::move(f));
}

void WriteGate(const std::string& name, uint32_t color, bool stubborn) {
  std::string bytes = "GATE";
  bytes.push_back(char(stubborn ? 1 : 0));
  bytes.push_back(char(color & 0xFF));
  bytes.push_back(char((color >> 8) & 0xFF));
  bytes.push_back(char((color >> 16) & 0xFF));
  testutil::WriteFileBytes(name, bytes);
}

// 30 gate entries in three columns of a 400 x 300 client; none selected.
struct GateGrid : HostedGrid {
  explicit GateGrid(bool stubborn) : HostedGrid(400, 300) {
    RegisterGate();
    TheGate().Reset();
    grid->SetGridWidth(-1);
    grid->LockUpdate();
    for (int i = 0; i < 30; ++i) {
      const std::string name = dir.File("g" + std::to_string(i) + ".gate");
      WriteGate(name, 0x00FF00, stubborn);
      grid->InsertImageNoSelect(i);
      grid->SetImageFileName(i, name);
    }
    grid->UnlockUpdate();
  }
  ~GateGrid() {
    // Nothing may wait at the gate once the test is over.
    TheGate().Release();
    grid.reset();
  }
  testutil::TempDir dir;
};

// --- the placeholder -------------------------------------------------------------

// A PNG of 30000 x 30000 one-bit pixels, all black: small on disk, 900
// million pixels once read.
void WriteHugePng(const std::string& name) {
  const uint32_t side = 30000;
  std::string png("\x89PNG\r\n\x1a\n", 8);
  auto be32 = [](std::string& s, uint32_t v) {
    for (int k = 3; k >= 0; --k) s.push_back(char((v >> (8 * k)) & 0xFF));
  };
  auto chunk = [&](const char* type, const std::string& data) {
    be32(png, uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    be32(png, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
  };
  std::string ihdr;
  be32(ihdr, side);
  be32(ihdr, side);
  ihdr += std::string("\x01\x00\x00\x00\x00", 5);  // 1 bit, grey, deflate, no filter, no interlace
  chunk("IHDR", ihdr);
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 9), Z_OK);
  std::vector<uint8_t> row(1 + side / 8, 0), out(1 << 16);
  std::string idat;
  for (uint32_t y = 0; y <= side; ++y) {
    const bool last = y == side;
    z.next_in = row.data();
    z.avail_in = last ? 0 : uInt(row.size());
    do {
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      idat.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  chunk("IDAT", idat);
  chunk("IEND", "");
  testutil::WriteFileBytes(name, png);
}

enum TBadKind { bkNotAPicture, bkTruncated, bkVanished, bkHuge };
struct TBadCase {
  const char* Name;
  TBadKind Kind;
  int Pool;  // ThreadPoolSize
};
class MViewWrongImage : public ::testing::TestWithParam<TBadCase> {};

TEST_P(MViewWrongImage, ShowsThePlaceholderAndTheGridGoesOn) {
  const TBadCase& c = GetParam();
  testutil::TempDir dir;
  const std::string bad = dir.File("bad.png"), good = dir.File("good.png");
  mviewtest::WritePicture(good, 60, 40, 0x00FF00);
  switch (c.Kind) {
    case bkNotAPicture: testutil::WriteFileBytes(bad, "This is a letter, not a picture."); break;
    case bkTruncated: {
      const std::string whole = dir.File("whole.png");
      mviewtest::WritePicture(whole, 300, 200, 0x123456);
      const std::string bytes = testutil::ReadFileBytes(whole);
      testutil::WriteFileBytes(bad, bytes.substr(0, bytes.size() / 2));
      break;
    }
    case bkVanished:
      mviewtest::WritePicture(bad, 10, 10, 0);
      break;
    case bkHuge: WriteHugePng(bad); break;
  }
  HostedGrid h(400, 300);
  h.grid->SetStoreType(pxtThumb);
  h.grid->SetThumbWidth(128);
  h.grid->SetThumbHeight(128);
  h.grid->SetGridWidth(-1);
  h.grid->SetThreadPoolSize(c.Pool);
  for (const std::string& n : {bad, good}) {
    const int i = h.grid->ImageCount();
    h.grid->InsertImageNoSelect(i);
    h.grid->SetImageFileName(i, n);
  }
  // Gone between listing and loading.
  if (c.Kind == bkVanished) std::filesystem::remove(bad);
  ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, 1));
  TPxBitmap placeholder, picture;
  ASSERT_TRUE(h.grid->CopyStoredImage(0, placeholder));
  EXPECT_EQ(placeholder.Width(), 128);
  EXPECT_EQ(placeholder.Height(), 128);
  EXPECT_EQ(PixelAt(placeholder, 1, 1), (TBGR{255, 255, 255}));
  // The fake host leaves one pixel where each "?" starts: a grey shadow
  // 3 pixels down and right, then the blue mark, centred.
  EXPECT_EQ(PixelAt(placeholder, 32 + 3, 0 + 3), (TBGR{128, 128, 128}));
  EXPECT_EQ(PixelAt(placeholder, 32, 0), (TBGR{255, 0, 0}));
  bool sawMark = false;
  for (const auto& d : h.host.DrawnCalls())
    if (d.Text == u"?" && d.Font == (TPxFont{"Arial", 128, true})) sawMark = true;
  EXPECT_TRUE(sawMark);
  ASSERT_TRUE(h.grid->CopyStoredImage(1, picture));
  EXPECT_EQ(PixelAt(picture, 10, 10), (TBGR{0, 255, 0}));
  EXPECT_EQ(h.grid->ImageCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MViewWrongImage,
    ::testing::Values(TBadCase{"NotAPictureNow", bkNotAPicture, 0},
                      TBadCase{"NotAPictureInBackground", bkNotAPicture, 5},
                      TBadCase{"TruncatedNow", bkTruncated, 0},
                      TBadCase{"TruncatedInBackground", bkTruncated, 5},
                      TBadCase{"VanishedNow", bkVanished, 0},
                      TBadCase{"VanishedInBackground", bkVanished, 5},
                      TBadCase{"HugeNow", bkHuge, 0}, TBadCase{"HugeInBackground", bkHuge, 5}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(MViewWrongImageHandling, OwnerDrawsItOrTheEntryGoes) {
  testutil::TempDir dir;
  const std::string bad = dir.File("bad.png"), good = dir.File("good.png");
  testutil::WriteFileBytes(bad, "no picture");
  mviewtest::WritePicture(good, 30, 30, 0x0000FF);
  {
    HostedGrid h;
    h.grid->SetThreadPoolSize(0);
    h.grid->OnWrongImage = [](TImagingMView*, TPxBitmap& out, int, bool& handled) {
      out.Fill(0x00FFFF);  // yellow
      handled = true;
    };
    h.grid->InsertImageNoSelect(0);
    h.grid->SetImageFileName(0, bad);
    h.Paint();
    TPxBitmap stored;
    ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
    EXPECT_EQ(PixelAt(stored, 50, 50), (TBGR{0, 255, 255}));
    EXPECT_TRUE(h.host.DrawnCalls().empty());
  }
  // RemoveCorrupted: a failed load during painting deletes the entry, the
  // others close up.
  HostedGrid h;
  h.grid->SetThreadPoolSize(0);
  h.grid->SetRemoveCorrupted(true);
  h.grid->SetGridWidth(-1);
  for (const std::string& n : {good, bad, good}) {
    const int i = h.grid->ImageCount();
    h.grid->InsertImageNoSelect(i);
    h.grid->SetImageFileName(i, n);
  }
  h.Paint();
  EXPECT_EQ(h.grid->ImageCount(), 2);
  EXPECT_EQ(h.grid->ImageFileName(1), good);
  EXPECT_TRUE(h.grid->HasImage(1));
  EXPECT_EQ(h.grid->ImageX(1), 108);
}

// --- reading ------------------------------------------------------------------------

TEST(MViewLoad, JpegIsReadAtTheReducedScaleThatCoversTheCell) {
  testutil::TempDir dir;
  const std::string name = dir.File("camera.jpg");
  mviewtest::WritePicture(name, 1024, 768, 0x3080C0);
  for (int pool : {0, 5}) {
    HostedGrid h;
    h.grid->SetStoreType(pxtThumb);
    h.grid->SetThumbWidth(128);
    h.grid->SetThumbHeight(128);
    h.grid->SetThreadPoolSize(pool);
    h.grid->InsertImageNoSelect(0);
    h.grid->SetImageFileName(0, name);
    TImagingMIO& mio = h.grid->GetMIO();
    ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, 0));
    // 1/8 would give 128 x 96, lower than the cell: 1/4 is the largest that covers it.
    EXPECT_EQ(mio.Params(0).JpegScaleUsed, 4) << pool;
    EXPECT_EQ(h.grid->ImageSourceWidth(0), 1024);
    EXPECT_EQ(h.grid->ImageSourceHeight(0), 768);
    TPxBitmap stored;
    ASSERT_TRUE(h.grid->CopyStoredImage(0, stored));
    EXPECT_EQ(stored.Width(), 128);
    EXPECT_EQ(stored.Height(), 96);
  }
}

TEST(MViewLoad, FrameNamesAreLoadedAtOnce) {
  testutil::TempDir dir;
  const std::string name = dir.File("a.png");
  mviewtest::WritePicture(name, 40, 40, 0xFF0000);
  HostedGrid h;
  h.grid->SetGridWidth(-1);
  for (const std::string& n : {name + "::0", name + "::x", name + "::2"}) {
    const int i = h.grid->ImageCount();
    h.grid->InsertImageNoSelect(i);
    h.grid->SetImageFileName(i, n);
  }
  h.Paint();  // one paint: nothing queued
  EXPECT_EQ(h.grid->QueuedLoadCount(), 0);
  EXPECT_EQ(h.grid->RunningLoadCount(), 0);
  TPxBitmap b0, b1, b2;
  ASSERT_TRUE(h.grid->CopyStoredImage(0, b0));
  ASSERT_TRUE(h.grid->CopyStoredImage(1, b1));  // not a number: frame 0
  EXPECT_EQ(PixelAt(b0, 5, 5), (TBGR{255, 0, 0}));
  EXPECT_EQ(PixelAt(b1, 5, 5), (TBGR{255, 0, 0}));
  ASSERT_TRUE(h.grid->CopyStoredImage(2, b2));  // no later frames: the placeholder
  EXPECT_EQ(PixelAt(b2, 1, 1), (TBGR{255, 255, 255}));
}

TEST(MViewLoad, SelectedEntryLoadsAtOnce) {
  RegisterGate();
  testutil::TempDir dir;
  const std::string name = dir.File("s.png");
  mviewtest::WritePicture(name, 40, 40, 0xFF0000);
  HostedGrid h;
  h.grid->AppendImage();  // selected
  h.grid->SetImageFileName(0, name);
  h.Paint();
  EXPECT_TRUE(h.grid->HasImage(0));
  EXPECT_EQ(h.grid->RunningLoadCount(), 0);
}

TEST(MViewLoad, NoBackgroundLoadsGiveTheSamePicture) {
  testutil::TempDir dir;
  std::vector<std::string> names;
  const int sizes[][2] = {{300, 200}, {50, 80}, {128, 128}, {1000, 40}, {7, 9}, {640, 480}};
  for (int i = 0; i < 12; ++i) {
    const std::string name = dir.File("p" + std::to_string(i) + (i % 3 == 2 ? ".jpg" : ".png"));
    mviewtest::WritePicture(name, sizes[i % 6][0], sizes[i % 6][1], 0x102030u * uint32_t(i + 1));
    names.push_back(name);
  }
  std::vector<uint8_t> pictures[2];
  for (int pool : {0, 5}) {
    HostedGrid h(560, 420);
    h.grid->SetStoreType(pxtThumb);
    h.grid->SetThumbWidth(128);
    h.grid->SetThumbHeight(128);
    h.grid->SetGridWidth(-1);
    h.grid->SetStyle(pxmsFlat);
    h.grid->SetThreadPoolSize(pool);
    h.grid->LockUpdate();
    for (int i = 0; i < 12; ++i) {
      h.grid->InsertImageNoSelect(i);
      h.grid->SetImageFileName(i, names[size_t(i)]);
      h.grid->ImageBottomText(i)->SetCaption(std::filesystem::path(names[size_t(i)]).filename().string());
    }
    h.grid->UnlockUpdate();
    ASSERT_TRUE(mviewtest::PaintUntilLoaded(h, 0, 11));
    h.grid->Invalidate();
    TPxBitmap& b = h.Paint();
    for (int y = 0; y < b.Height(); ++y)
      pictures[pool ? 1 : 0].insert(pictures[pool ? 1 : 0].end(), b.Scanline(y),
                                    b.Scanline(y) + size_t(b.Width()) * 3);
    if (pool) {
      EXPECT_GT(h.host.Posted.load(), 0);  // repaints asked from the loaders
    }
  }
  ASSERT_EQ(pictures[0].size(), pictures[1].size());
  EXPECT_TRUE(pictures[0] == pictures[1]);
}

// --- background loads ----------------------------------------------------------------

TEST(MViewBackground, LoadOfAnEntryThatScrolledAwayIsAbandoned) {
  GateGrid g(false);
  g.Paint();  // entries 0 .. 8 visible
  ASSERT_TRUE(WaitFor([&] { return TheGate().StartedNow() == 5; }));
  EXPECT_EQ(g.grid->RunningLoadCount(), 5);
  EXPECT_EQ(g.grid->QueuedLoadCount(), 4);
  g.grid->SetViewY(g.grid->MaxViewY());  // entries 21 .. 29 visible
  // The running reads are asked to stop, and do.
  ASSERT_TRUE(WaitFor([&] { return TheGate().ActiveNow() == 0; }));
  ASSERT_TRUE(WaitFor([&] { return g.grid->RunningLoadCount() + g.grid->AbandonedLoadCount() == 0; }));
  EXPECT_EQ(TheGate().StartedNow(), 5);
  EXPECT_EQ(g.grid->QueuedLoadCount(), 0);  // the queued ones left the queue
  TheGate().Release();
  ASSERT_TRUE(mviewtest::PaintUntilLoaded(g, 21, 29));
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(g.grid->HasImage(i)) << i;
  TPxBitmap b;
  ASSERT_TRUE(g.grid->CopyStoredImage(25, b));
  EXPECT_EQ(PixelAt(b, 3, 3), (TBGR{0, 255, 0}));
}

TEST(MViewBackground, AbandonedLoadThatRunsToItsEndDeliversNothing) {
  GateGrid g(true);  // reads that do not stop when asked
  g.Paint();
  ASSERT_TRUE(WaitFor([&] { return TheGate().StartedNow() == 5; }));
  g.grid->SetViewY(g.grid->MaxViewY());
  ASSERT_TRUE(WaitFor([&] { return g.grid->AbandonedLoadCount() == 5; }));
  TheGate().Release();
  ASSERT_TRUE(WaitFor([&] { return g.grid->AbandonedLoadCount() == 0; }));
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(g.grid->HasImage(i)) << i;
  // Back in view they are loaded again.
  g.grid->SetViewY(0);
  ASSERT_TRUE(mviewtest::PaintUntilLoaded(g, 0, 8));
}

TEST(MViewBackground, AbortLoadsStopsRunningLoads) {
  GateGrid g(false);
  g.Paint();
  ASSERT_TRUE(WaitFor([&] { return TheGate().StartedNow() == 5; }));
  g.grid->AbortLoads();
  EXPECT_EQ(g.grid->QueuedLoadCount(), 0);
  EXPECT_EQ(g.grid->RunningLoadCount(), 0);
  ASSERT_TRUE(WaitFor([&] { return TheGate().ActiveNow() == 0 && g.grid->AbandonedLoadCount() == 0; }));
  TheGate().Release();
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(g.grid->HasImage(i)) << i;
  // The next paint asks again.
  ASSERT_TRUE(mviewtest::PaintUntilLoaded(g, 0, 8));
}

TEST(MViewBackground, ClearWhileLoadsRunStoresNothingInTheNewGrid) {
  GateGrid g(true);
  g.Paint();
  ASSERT_TRUE(WaitFor([&] { return TheGate().StartedNow() == 5; }));
  g.grid->Clear();  // the reads go on past its wait
  EXPECT_EQ(g.grid->ImageCount(), 0);
  EXPECT_EQ(g.grid->RunningLoadCount(), 0);
  for (int i = 0; i < 9; ++i) g.grid->InsertImageNoSelect(i);  // no pictures of their own
  TheGate().Release();
  ASSERT_TRUE(WaitFor([&] { return g.grid->AbandonedLoadCount() == 0; }));
  g.Paint();
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(g.grid->HasImage(i)) << i;
}

TEST(MViewBackground, DestructionWaitsForRunningLoads) {
  {
    // Reads that stop when asked: destruction asks and waits.
    GateGrid g(false);
    g.Paint();
    ASSERT_TRUE(WaitFor([&] { return TheGate().StartedNow() == 5; }));
    g.grid.reset();
    EXPECT_EQ(TheGate().ActiveNow(), 0);
  }
  {
    // Reads that go on: destruction waits until they are over.
    GateGrid g(true);
    g.Paint();
    ASSERT_TRUE(WaitFor([&] { return TheGate().StartedNow() == 5; }));
    std::thread destroyer([&] { g.grid.reset(); });
    TheGate().Release();
    destroyer.join();
    EXPECT_EQ(TheGate().ActiveNow(), 0);
  }
}

}  // namespace
