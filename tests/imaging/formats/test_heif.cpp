// HEIF through libheif: files written by heif-enc read with the pixels
// heif-convert gives, with the file's rotation and mirroring applied (added to
// the files by the test), and damaged files refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codectest.h"
#include "imaging/formats/heif.h"
#include "util/testutil.h"

namespace {

using namespace codectest;

const std::string kEnc = "/usr/bin/heif-enc";
const std::string kConvert = "/usr/bin/heif-convert";

bool HaveTools() { return testutil::HaveTool(kEnc) && testutil::HaveTool(kConvert); }

// heif-enc's file of a picture, from a PNG made by netpbm.
std::string Encode(const testutil::TempDir& dir, const Picture& p, const std::string& options) {
  const bool alpha = p.channels == 4;
  const std::string pnm = dir.File(alpha ? "src.pam" : "src.ppm");
  const std::string png = dir.File("src.png"), heic = dir.File("file.heic");
  WriteNetpbm(pnm, p);
  auto r = testutil::RunCommand("/usr/bin/pamtopng '" + pnm + "' > '" + png + "' && " + kEnc + " " +
                                options + " '" + png + "' -o '" + heic + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  return heic;
}

bool ConvertWithLibheif(const std::string& heic, const testutil::TempDir& dir, Picture& out) {
  const std::string png = dir.File("heif-convert.png");
  auto r = testutil::RunCommand(kConvert + " '" + heic + "' '" + png + "'");
  return r.status == 0 && ReadPngByNetpbm(png, dir, out);
}

// --- adding transformation properties to a file -----------------------------------
//
// A HEIF file keeps an item's properties in meta/iprp/ipco and ties them to
// items in meta/iprp/ipma; iloc says where each item's data lies in the file.
// Adding a property grows meta, so the data that follows it moves: iloc's
// offsets into the file move with it.

uint32_t Get(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}
void Set(std::string& b, size_t at, int bytes, uint32_t v) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) b[at + i] = static_cast<char>(v & 0xFF);
}

struct Box {
  size_t at = 0, size = 0, header = 8;
  std::string type;
};

std::vector<Box> Children(const std::string& b, size_t from, size_t to) {
  std::vector<Box> out;
  for (size_t p = from; p + 8 <= to;) {
    Box box{p, Get(b, p, 4), 8, b.substr(p + 4, 4)};
    if (box.size < 8 || p + box.size > to) break;
    if (box.type == "meta") box.header = 12;
    out.push_back(box);
    p += box.size;
  }
  return out;
}

const Box* Find(const std::vector<Box>& boxes, const std::string& type) {
  for (const Box& b : boxes)
    if (b.type == type) return &b;
  return nullptr;
}

// Where the fields of one item's location stand in an iloc box: its base
// offset and each extent's offset and length.
struct ItemLocation {
  uint32_t item = 0;
  int method = 0;  // 0: in the file, 1: in idat
  size_t baseAt = 0;
  int baseSize = 0, offsetSize = 0, lengthSize = 0;
  std::vector<size_t> extentsAt;  // each extent's offset field, its length right after
};

std::vector<ItemLocation> ItemLocations(const std::string& b, size_t ilocAt) {
  std::vector<ItemLocation> out;
  const int version = static_cast<uint8_t>(b[ilocAt + 8]);
  size_t q = ilocAt + 12;
  const int offsetSize = static_cast<uint8_t>(b[q]) >> 4, lengthSize = b[q] & 15;
  const int baseSize = static_cast<uint8_t>(b[q + 1]) >> 4;
  const int indexSize = version >= 1 ? b[q + 1] & 15 : 0;
  const int idSize = version < 2 ? 2 : 4;
  q += 2;
  const uint32_t items = Get(b, q, idSize);
  q += idSize;
  for (uint32_t i = 0; i < items; ++i) {
    ItemLocation l;
    l.item = Get(b, q, idSize);
    q += idSize;
    if (version >= 1) {
      l.method = Get(b, q, 2) & 15;
      q += 2;
    }
    q += 2;  // data reference
    l.baseAt = q;
    l.baseSize = baseSize;
    l.offsetSize = offsetSize;
    l.lengthSize = lengthSize;
    q += baseSize;
    const uint32_t extents = Get(b, q, 2);
    q += 2;
    for (uint32_t e = 0; e < extents; ++e) {
      q += indexSize;
      l.extentsAt.push_back(q);
      q += offsetSize + lengthSize;
    }
    out.push_back(l);
  }
  return out;
}

// Adds the property boxes (each a whole box) to the primary item, essential,
// after its other properties: the transformations apply in that order.
std::string AddProperties(const std::string& file, const std::vector<std::string>& properties) {
  std::string added;
  for (const std::string& p : properties) added += p;
  const auto top = Children(file, 0, file.size());
  const Box* meta = Find(top, "meta");
  EXPECT_NE(meta, nullptr);
  if (!meta) return file;
  const auto inMeta = Children(file, meta->at + 12, meta->at + meta->size);
  const Box *iprp = Find(inMeta, "iprp"), *iloc = Find(inMeta, "iloc"), *pitm = Find(inMeta, "pitm");
  EXPECT_TRUE(iprp && iloc && pitm);
  if (!iprp || !iloc || !pitm) return file;
  const auto inIprp = Children(file, iprp->at + 8, iprp->at + iprp->size);
  const Box *ipco = Find(inIprp, "ipco"), *ipma = Find(inIprp, "ipma");
  EXPECT_TRUE(ipco && ipma);
  if (!ipco || !ipma) return file;
  const uint32_t primary = Get(file, pitm->at + 12, 2);
  const int existing = static_cast<int>(Children(file, ipco->at + 8, ipco->at + ipco->size).size());
  // ipma version 0, one-byte property indexes: what heif-enc writes.
  EXPECT_EQ(Get(file, ipma->at + 8, 4), 0u);

  std::string newIpma = file.substr(ipma->at, 16);
  const uint32_t entries = Get(file, ipma->at + 12, 4);
  size_t p = ipma->at + 16;
  for (uint32_t e = 0; e < entries; ++e) {
    const uint32_t item = Get(file, p, 2);
    const int count = static_cast<uint8_t>(file[p + 2]);
    std::string entry = file.substr(p, 3 + count);
    if (item == primary) {
      entry[2] = static_cast<char>(count + properties.size());
      for (size_t i = 0; i < properties.size(); ++i)
        entry += static_cast<char>(0x80 | (existing + 1 + int(i)));
    }
    newIpma += entry;
    p += 3 + count;
  }
  Set(newIpma, 0, 4, static_cast<uint32_t>(newIpma.size()));
  std::string newIpco = file.substr(ipco->at, ipco->size) + added;
  Set(newIpco, 0, 4, static_cast<uint32_t>(newIpco.size()));
  std::string newIprp = file.substr(iprp->at, 8);
  for (const Box& b : inIprp)
    newIprp += b.type == "ipco" ? newIpco : b.type == "ipma" ? newIpma : file.substr(b.at, b.size);
  Set(newIprp, 0, 4, static_cast<uint32_t>(newIprp.size()));
  std::string newMeta = file.substr(meta->at, 12);
  size_t ilocInMeta = 0;
  for (const Box& b : inMeta) {
    if (b.type == "iloc") ilocInMeta = newMeta.size();
    newMeta += b.type == "iprp" ? newIprp : file.substr(b.at, b.size);
  }
  Set(newMeta, 0, 4, static_cast<uint32_t>(newMeta.size()));
  const uint32_t delta = static_cast<uint32_t>(newMeta.size() - meta->size);

  // iloc: offsets of the data stored in the file itself (construction method 0).
  for (const ItemLocation& l : ItemLocations(newMeta, ilocInMeta)) {
    if (l.method != 0) continue;
    if (l.baseSize > 0 && Get(newMeta, l.baseAt, l.baseSize) != 0) {
      Set(newMeta, l.baseAt, l.baseSize, Get(newMeta, l.baseAt, l.baseSize) + delta);
      continue;
    }
    for (size_t at : l.extentsAt)
      if (l.offsetSize > 0) Set(newMeta, at, l.offsetSize, Get(newMeta, at, l.offsetSize) + delta);
  }
  return file.substr(0, meta->at) + newMeta + file.substr(meta->at + meta->size);
}

// Rotation anticlockwise by quarter turns, and mirroring about an axis.
std::string Irot(int quarterTurns) { return std::string("\0\0\0\x09irot", 8) + char(quarterTurns); }
std::string Imir(int axis) { return std::string("\0\0\0\x09imir", 8) + char(axis); }

// --- grid pictures ------------------------------------------------------------------
//
// Phones store a picture as a grid of separately coded tiles: one hidden hvc1
// item per tile and a primary grid item, whose data (kept in meta/idat) give
// the rows, the columns and the size of the canvas the tiles are laid on.

std::string BoxOf(const std::string& type, const std::string& payload) {
  std::string b(4, '\0');
  Set(b, 0, 4, static_cast<uint32_t>(8 + payload.size()));
  return b + type + payload;
}
std::string FullBox(const std::string& type, int version, uint32_t flags, const std::string& payload) {
  std::string head(4, '\0');
  Set(head, 0, 4, static_cast<uint32_t>(version) << 24 | flags);
  return BoxOf(type, head + payload);
}
std::string Be(uint32_t v, int bytes) {
  std::string b(bytes, '\0');
  Set(b, 0, bytes, v);
  return b;
}

// The coded picture of a file heif-enc wrote: its decoder configuration
// (hvcC) and the data of its hvc1 item.
struct Tile {
  std::string hvcC, data;
};

Tile TileOf(const std::string& file) {
  Tile tile;
  const auto top = Children(file, 0, file.size());
  const Box* meta = Find(top, "meta");
  EXPECT_NE(meta, nullptr);
  if (!meta) return tile;
  const auto inMeta = Children(file, meta->at + 12, meta->at + meta->size);
  const Box *iinf = Find(inMeta, "iinf"), *iloc = Find(inMeta, "iloc"), *iprp = Find(inMeta, "iprp");
  EXPECT_TRUE(iinf && iloc && iprp);
  if (!iinf || !iloc || !iprp) return tile;
  // iinf version 0, infe version 2: what heif-enc writes.
  uint32_t coded = 0;
  for (const Box& infe : Children(file, iinf->at + 14, iinf->at + iinf->size))
    if (file.substr(infe.at + 16, 4) == "hvc1") coded = Get(file, infe.at + 12, 2);
  EXPECT_NE(coded, 0u);
  const auto inIprp = Children(file, iprp->at + 8, iprp->at + iprp->size);
  const Box* ipco = Find(inIprp, "ipco");
  EXPECT_NE(ipco, nullptr);
  if (!ipco) return tile;
  const auto properties = Children(file, ipco->at + 8, ipco->at + ipco->size);
  const Box* hvcC = Find(properties, "hvcC");
  EXPECT_NE(hvcC, nullptr);
  if (!hvcC) return tile;
  tile.hvcC = file.substr(hvcC->at, hvcC->size);
  // iloc: the item's one extent in the file (construction method 0).
  for (const ItemLocation& l : ItemLocations(file, iloc->at)) {
    if (l.item != coded || l.method != 0 || l.extentsAt.size() != 1) continue;
    const uint32_t base = l.baseSize > 0 ? Get(file, l.baseAt, l.baseSize) : 0;
    const size_t at = l.extentsAt[0];
    tile.data = file.substr(base + Get(file, at, l.offsetSize), Get(file, at + l.offsetSize, l.lengthSize));
  }
  EXPECT_FALSE(tile.data.empty());
  return tile;
}

struct GridShape {
  int tileWidth, tileHeight, columns, rows;
  uint32_t canvasWidth, canvasHeight;  // what the grid's data say
  uint32_t sizeWidth, sizeHeight;      // what the grid item's size box (ispe) says
};

// A file whose primary picture is the grid of the tiles, row by row.
std::string GridFile(const std::vector<Tile>& tiles, const GridShape& g) {
  const uint32_t n = static_cast<uint32_t>(tiles.size()), grid = n + 1;
  // Properties: 1 the tiles' size, then each tile's hvcC, last the grid's size.
  std::string ipco = FullBox("ispe", 0, 0, Be(g.tileWidth, 4) + Be(g.tileHeight, 4));
  std::string ipma = Be(n + 1, 4);
  for (uint32_t i = 0; i < n; ++i) {
    ipco += tiles[i].hvcC;
    ipma += Be(i + 1, 2) + Be(2, 1) + Be(0x80 | (i + 2), 1) + Be(1, 1);
  }
  ipco += FullBox("ispe", 0, 0, Be(g.sizeWidth, 4) + Be(g.sizeHeight, 4));
  ipma += Be(grid, 2) + Be(1, 1) + Be(n + 2, 1);
  const std::string iprp = BoxOf("iprp", BoxOf("ipco", ipco) + FullBox("ipma", 0, 0, ipma));

  std::string infes;
  for (uint32_t i = 0; i < n; ++i)  // flag 1: hidden, a part of the grid only
    infes += FullBox("infe", 2, 1, Be(i + 1, 2) + Be(0, 2) + "hvc1" + std::string(1, '\0'));
  infes += FullBox("infe", 2, 0, Be(grid, 2) + Be(0, 2) + "grid" + std::string(1, '\0'));
  const std::string iinf = FullBox("iinf", 0, 0, Be(n + 1, 2) + infes);
  std::string dimg = Be(grid, 2) + Be(n, 2);
  for (uint32_t i = 0; i < n; ++i) dimg += Be(i + 1, 2);
  const std::string iref = FullBox("iref", 0, 0, BoxOf("dimg", dimg));
  const bool wide = g.canvasWidth > 65535 || g.canvasHeight > 65535;
  const std::string gridData = Be(0, 1) + Be(wide ? 1 : 0, 1) + Be(g.rows - 1, 1) +
                               Be(g.columns - 1, 1) + Be(g.canvasWidth, wide ? 4 : 2) +
                               Be(g.canvasHeight, wide ? 4 : 2);
  const std::string hdlr = FullBox("hdlr", 0, 0, Be(0, 4) + "pict" + std::string(13, '\0'));
  const std::string pitm = FullBox("pitm", 0, 0, Be(grid, 2));
  const std::string idat = BoxOf("idat", gridData);
  // iloc version 1: the tiles in mdat (method 0), the grid's data in idat (method 1).
  auto iloc = [&](uint32_t mdatData) {
    std::string p = Be(0x44, 1) + Be(0, 1) + Be(n + 1, 2);
    for (uint32_t i = 0; i < n; ++i) {
      p += Be(i + 1, 2) + Be(0, 2) + Be(0, 2) + Be(1, 2) + Be(mdatData, 4) + Be(tiles[i].data.size(), 4);
      mdatData += static_cast<uint32_t>(tiles[i].data.size());
    }
    p += Be(grid, 2) + Be(1, 2) + Be(0, 2) + Be(1, 2) + Be(0, 4) + Be(gridData.size(), 4);
    return FullBox("iloc", 1, 0, p);
  };
  const std::string ftyp = BoxOf("ftyp", std::string("heic") + Be(0, 4) + "mif1heic");
  auto meta = [&](uint32_t mdatData) {
    return FullBox("meta", 0, 0, hdlr + pitm + iloc(mdatData) + iinf + iref + iprp + idat);
  };
  const uint32_t mdatData = static_cast<uint32_t>(ftyp.size() + meta(0).size() + 8);
  std::string coded;
  for (const Tile& t : tiles) coded += t.data;
  return ftyp + meta(mdatData) + BoxOf("mdat", coded);
}

// The part of p at x, y of w x h pixels.
Picture Cut(const Picture& p, int x, int y, int w, int h) {
  Picture out{w, h, p.channels, {}};
  for (int row = 0; row < h; ++row) {
    const auto from = p.samples.begin() + (size_t(y + row) * p.width + x) * p.channels;
    out.samples.insert(out.samples.end(), from, from + size_t(w) * p.channels);
  }
  return out;
}

// Tiles of 64 x 64 pixels cut from a picture of columns x rows tiles, each
// coded by heif-enc.
std::vector<Tile> EncodeTiles(const testutil::TempDir& dir, const Picture& p, int columns, int rows) {
  std::vector<Tile> tiles;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c)
      tiles.push_back(TileOf(testutil::ReadFileBytes(
          Encode(dir, Cut(p, c * 64, r * 64, 64, 64), "-q 95 -p chroma=444"))));
  return tiles;
}

// --- the tests -----------------------------------------------------------------

struct EncodeCase {
  const char* name;
  int channels;
  const char* options;
};

class HeifEncFiles : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(HeifEncFiles, ReadTheSamePixelsAsHeifConvert) {
  if (!HaveTools()) GTEST_SKIP() << "libheif tools are not installed";
  const EncodeCase& c = GetParam();
  testutil::TempDir dir;
  const Picture source = MakePicture(66, 42, c.channels);
  const std::string heic = Encode(dir, source, c.options);
  Picture theirs;
  ASSERT_TRUE(ConvertWithLibheif(heic, dir, theirs));
  Outcome ours = ReadFile(ReadHeifStream, heic);
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against heif-convert");
  EXPECT_EQ(ours.bitmap->HasAlphaChannel(), c.channels == 4);
  EXPECT_EQ(ours.params.Width, 66);
  EXPECT_EQ(ours.params.Height, 42);
  // Lossy, but the picture it was made of.
  EXPECT_LT(MeanDifference(*ours.bitmap, source), 25.0);
}

INSTANTIATE_TEST_SUITE_P(Heif, HeifEncFiles,
                         ::testing::Values(EncodeCase{"quality_90", 3, "-q 90"},
                                           EncodeCase{"quality_30", 3, "-q 30"},
                                           EncodeCase{"chroma_444", 3, "-q 80 -p chroma=444"},
                                           EncodeCase{"alpha", 4, "-q 90"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TransformCase {
  const char* name;
  std::vector<std::string> properties;
  bool turned;  // width and height swap
};

class HeifTransforms : public ::testing::TestWithParam<TransformCase> {};

TEST_P(HeifTransforms, ThePictureStandsAsHeifConvertShowsIt) {
  if (!HaveTools()) GTEST_SKIP() << "libheif tools are not installed";
  const TransformCase& c = GetParam();
  testutil::TempDir dir;
  const std::string plain = Encode(dir, MakePicture(64, 40, 3), "-q 95 -p chroma=444");
  const std::string file = dir.File("turned.heic");
  testutil::WriteFileBytes(file, AddProperties(testutil::ReadFileBytes(plain), c.properties));
  Picture theirs;
  ASSERT_TRUE(ConvertWithLibheif(file, dir, theirs));
  ASSERT_EQ(theirs.width, c.turned ? 40 : 64) << "heif-convert did not take the added property";

  Outcome params = ReadFile(ReadHeifStream, file, true);
  ASSERT_FALSE(params.aborted) << params.params.CodecError;
  EXPECT_EQ(params.params.Width, theirs.width);
  EXPECT_EQ(params.params.Height, theirs.height);
  Outcome ours = ReadFile(ReadHeifStream, file);
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against heif-convert");
  // Not the picture as stored: that would fail the comparison unless the
  // transformation changes nothing.
  Outcome stored = ReadFile(ReadHeifStream, plain);
  ASSERT_FALSE(stored.aborted);
  if (!c.turned) {
    EXPECT_GT(MeanDifference(*stored.bitmap, theirs), 5.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Heif, HeifTransforms,
    ::testing::Values(TransformCase{"quarter_turn", {Irot(1)}, true},
                      TransformCase{"half_turn", {Irot(2)}, false},
                      TransformCase{"three_quarter_turn", {Irot(3)}, true},
                      TransformCase{"mirror_vertical_axis", {Imir(0)}, false},
                      TransformCase{"mirror_horizontal_axis", {Imir(1)}, false},
                      TransformCase{"turn_then_mirror", {Irot(1), Imir(0)}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Heif, ContentTest) {
  auto stream = [](const char* brand) {
    std::vector<uint8_t> b = {0, 0, 0, 24, 'f', 't', 'y', 'p'};
    b.insert(b.end(), brand, brand + 4);
    b.resize(24, 0);
    return TPxMemoryStream(b);
  };
  for (const char* yes : {"heic", "heix", "mif1", "heim"}) {
    TPxMemoryStream s = stream(yes);
    EXPECT_TRUE(IsHeifStream(s)) << yes;
    EXPECT_EQ(s.Position(), 0);
  }
  for (const char* no : {"avif", "isom", "qt  "}) {
    TPxMemoryStream s = stream(no);
    EXPECT_FALSE(IsHeifStream(s)) << no;
  }
  TPxMemoryStream shortOne(std::vector<uint8_t>{0, 0, 0, 24, 'f', 't', 'y', 'p'});
  EXPECT_FALSE(IsHeifStream(shortOne));
}

// Every ispe property claims width x height.
std::string WithSize(const std::string& file, uint32_t w, uint32_t h) {
  std::string b = file;
  for (size_t p = b.find("ispe"); p != std::string::npos; p = b.find("ispe", p + 4)) {
    Set(b, p + 8, 4, w);
    Set(b, p + 12, 4, h);
  }
  return b;
}

TEST(Heif, BadInputIsRefused) {
  if (!HaveTools()) GTEST_SKIP() << "libheif tools are not installed";
  testutil::TempDir dir;
  const std::string good = testutil::ReadFileBytes(Encode(dir, MakePicture(48, 32, 3), "-q 50"));
  const size_t mdat = good.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  ExpectAllRefused(ReadHeifStream, good,
                   {
                       {"empty", [](const std::string&) { return std::string(); }},
                       {"file_type_only", [](const std::string& g) { return g.substr(0, 28); }},
                       {"truncated_in_meta", [](const std::string& g) { return g.substr(0, 120); }},
                       {"truncated_half", [](const std::string& g) { return Truncated(g, 0.5); }},
                       {"coded_data_zeroed",
                        [&](const std::string& g) {
                          std::string b = g;
                          for (size_t i = mdat + 4; i < b.size(); ++i) b[i] = 0;
                          return b;
                        }},
                       {"coded_data_box_claims_more_than_the_file",
                        [&](const std::string& g) {
                          std::string b = g;
                          Set(b, mdat - 4, 4, static_cast<uint32_t>(b.size() - mdat + 5));
                          return b;
                        }},
                       {"claims_60000_x_60000", [](const std::string& g) { return WithSize(g, 60000, 60000); }},
                       {"claims_100000_wide", [](const std::string& g) { return WithSize(g, 100000, 32); }},
                   });
}

TEST(Heif, GridPicturesReadAsHeifConvertShowsThem) {
  if (!HaveTools()) GTEST_SKIP() << "libheif tools are not installed";
  testutil::TempDir dir;
  const Picture source = MakePicture(192, 128, 3);
  const std::vector<Tile> tiles = EncodeTiles(dir, source, 3, 2);
  // The canvas crops the last column and row of tiles, as phones do.
  const std::string file = dir.File("grid.heic");
  testutil::WriteFileBytes(file, GridFile(tiles, {64, 64, 3, 2, 180, 100, 180, 100}));
  Picture theirs;
  ASSERT_TRUE(ConvertWithLibheif(file, dir, theirs));
  ASSERT_EQ(theirs.width, 180);
  ASSERT_EQ(theirs.height, 100);
  Outcome ours = ReadFile(ReadHeifStream, file);
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against heif-convert");
  EXPECT_LT(MeanDifference(*ours.bitmap, Cut(source, 0, 0, 180, 100)), 25.0);
}

// Planes larger than the picture a file declares are refused before the
// library makes them (it would make a canvas of 20000 x 12000 pixels, or
// decode a tile of 512 x 512, from a few kilobytes).
TEST(Heif, GridsLargerThanTheirPictureAreRefused) {
  if (!HaveTools()) GTEST_SKIP() << "libheif tools are not installed";
  testutil::TempDir dir;
  const std::vector<Tile> tiles = EncodeTiles(dir, MakePicture(128, 64, 3), 2, 1);
  const Tile big = TileOf(testutil::ReadFileBytes(Encode(dir, MakePicture(512, 512, 3), "-q 5")));
  struct Case {
    const char* name;
    std::vector<Tile> tiles;
    GridShape shape;
  };
  const Case cases[] = {
      {"canvas_beyond_its_size_box", tiles, {64, 64, 2, 1, 20000, 12000, 128, 64}},
      {"wide_canvas_beyond_its_size_box", tiles, {64, 64, 2, 1, 70000, 64, 128, 64}},
      {"tile_coded_larger_than_it_says", {big}, {64, 64, 1, 1, 64, 64, 64, 64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = ReadBytes(ReadHeifStream, GridFile(c.tiles, c.shape));
    EXPECT_TRUE(out.aborted);
    EXPECT_TRUE(out.bitmap->IsEmpty());
    EXPECT_EQ(out.params.CodecError, "HEIF: the coded picture is larger than the file says");
    // Its declared size stays readable.
    Outcome params = ReadBytes(ReadHeifStream, GridFile(c.tiles, c.shape), true);
    EXPECT_FALSE(params.aborted) << params.params.CodecError;
    EXPECT_EQ(params.params.Width, static_cast<int>(c.shape.sizeWidth));
  }
}

}  // namespace
