#include "RecorderFixture.h"

namespace input_tests {
namespace {

namespace fs = std::filesystem;

class CursorCatalogueTest : public RecorderFixture {
 protected:
  std::string idOf(const platform::CursorImage& image) {
    input->show(image);
    return recorder->currentCursorId();
  }
  std::vector<uint8_t> fileBytes(const std::string& id) const {
    std::ifstream in(dir / "cursors" / (id + ".png"), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  size_t cursorFiles() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir / "cursors"), fs::directory_iterator()));
  }
};

TEST_F(CursorCatalogueTest, NamesImagesInOrderOfFirstSightWithOneFileAndDescriptionEach) {
  const auto a = cursorImage(16, 10, 7, 7);
  const auto b = cursorImage(24, 20, 11, 12);
  const auto c = cursorImage(9, 30, 4, 8);

  std::vector<std::string> ids;
  for (const auto& image : {a, b, a, c, b}) ids.push_back(idOf(image));

  EXPECT_EQ(ids, (std::vector<std::string>{"cursor-0", "cursor-1", "cursor-0", "cursor-2", "cursor-1"}));
  EXPECT_EQ(cursorFiles(), 3u);
  EXPECT_EQ(files->encoded.load(), 3);
  const std::pair<std::string, platform::CursorImage> expected[] = {{"cursor-0", a}, {"cursor-1", b}, {"cursor-2", c}};
  for (const auto& [id, image] : expected) {
    EXPECT_EQ(fileBytes(id), ScriptedFiles::bytesOf(image)) << id;
    EXPECT_EQ(access().cursorInfo()[id],
              (nlohmann::json{{"hotX", image.hotX}, {"hotY", image.hotY}, {"width", image.width},
                              {"height", image.height}}))
        << id;
  }
  EXPECT_EQ(access().cursorInfo().size(), 3u);
}

struct VariantCase {
  const char* name;
  std::function<void(platform::CursorImage&)> change;
  bool sameCursor;
};

// Test output names the case, not its bytes.
void PrintTo(const VariantCase& c, std::ostream* out) { *out << c.name << (c.sameCursor ? " (same cursor)" : " (new cursor)"); }

class CursorVariantTest : public CursorCatalogueTest, public ::testing::WithParamInterface<VariantCase> {};

TEST_P(CursorVariantTest, TellsImagesApartByPixelsSizeAndHotSpot) {
  auto first = cursorImage(16, 40, 3, 0);
  auto second = first;
  GetParam().change(second);

  const std::string idFirst = idOf(first);
  const std::string idSecond = idOf(second);

  EXPECT_EQ(idFirst, "cursor-0");
  EXPECT_EQ(idSecond, GetParam().sameCursor ? "cursor-0" : "cursor-1");
  EXPECT_EQ(cursorFiles(), GetParam().sameCursor ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, CursorVariantTest,
    ::testing::Values(VariantCase{"SamePixelsShownAgain", [](platform::CursorImage&) {}, true},
                      VariantCase{"HotSpotX", [](platform::CursorImage& i) { i.hotX = 4; }, false},
                      VariantCase{"HotSpotY", [](platform::CursorImage& i) { i.hotY = 1; }, false},
                      VariantCase{"NegativeZeroHotSpot", [](platform::CursorImage& i) { i.hotY = -0.0; }, true},
                      VariantCase{"OnePixel", [](platform::CursorImage& i) { i.rgba[5] ^= 1; }, false},
                      VariantCase{"PointSize", [](platform::CursorImage& i) { i.width = i.height = 8; }, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(CursorCatalogueTest, UnreadableCursorRepeatsTheLastMoveRecordsCursorOrArrow) {
  input->show(std::nullopt);
  EXPECT_EQ(recorder->currentCursorId(), "arrow");

  access().lastCursorId() = "cursor-4";
  EXPECT_EQ(recorder->currentCursorId(), "cursor-4");

  EXPECT_TRUE(access().cursorHashes().empty());
  EXPECT_EQ(cursorFiles(), 0u);
}

TEST_F(CursorCatalogueTest, ImageThatCannotBeEncodedIsArrowAndIsTriedAgainNextTime) {
  access().lastCursorId() = "cursor-7";  // not used when the image was read
  files->failures = 1;
  input->show(cursorImage(16, 10));

  EXPECT_EQ(recorder->currentCursorId(), "arrow");
  EXPECT_TRUE(access().cursorInfo().empty());
  EXPECT_EQ(cursorFiles(), 0u);

  // The same cursor, still shown: encoded now, and numbered from zero.
  EXPECT_EQ(recorder->currentCursorId(), "cursor-0");
  EXPECT_EQ(cursorFiles(), 1u);
  EXPECT_EQ(access().cursorInfo().size(), 1u);
}

TEST_F(CursorCatalogueTest, UnchangedCursorIsNamedWithoutFetchingItsImage) {
  input->show(cursorImage(16, 10));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(recorder->currentCursorId(), "cursor-0");
  EXPECT_EQ(input->imagesServed(), 1);

  // A cursor set anew with the same image keeps its identifier.
  input->show(cursorImage(16, 10));
  EXPECT_EQ(recorder->currentCursorId(), "cursor-0");
  EXPECT_EQ(input->imagesServed(), 2);
  EXPECT_EQ(files->encoded.load(), 1);
}

TEST_F(CursorCatalogueTest, FileThatCannotBeWrittenStillRegistersTheCursor) {
  fs::remove_all(dir / "cursors");
  EXPECT_EQ(idOf(cursorImage(16, 10)), "cursor-0");
  EXPECT_EQ(idOf(cursorImage(16, 20)), "cursor-1");
  EXPECT_EQ(access().cursorInfo().size(), 2u);
}

}  // namespace
}  // namespace input_tests
