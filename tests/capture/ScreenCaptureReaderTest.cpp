// Grabs of a real X server: what the readers read, with the cursor painted in.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "ScreenPainter.h"
#include "capture/screen/DisplayContext.h"
#include "capture/screen/FrameReader.h"
#include "support/XServer.h"

using namespace orvanta::capture;
using orvanta::test::ScreenPainter;
using orvanta::test::XServer;

namespace {

struct Bgr {
    int b, g, r;
    bool operator==(const Bgr&) const = default;
};

Bgr at(const PixelBuffer& pixels, int x, int y) {
    const std::uint8_t* p = pixels.data + static_cast<std::size_t>(y) * pixels.rowBytes + x * 4;
    return {p[0], p[1], p[2]};
}

std::ostream& operator<<(std::ostream& out, const Bgr& c) {
    return out << "(b " << c.b << ", g " << c.g << ", r " << c.r << ")";
}

}  // namespace

class ScreenGrab : public testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<XServer>(320, 240, 24); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        DisplayContext::Options options;
        options.allowSharedMemory = GetParam();
        std::string error;
        context_ = DisplayContext::open(server_->display(), options, &error);
        ASSERT_TRUE(context_) << error;
        painter_ = std::make_unique<ScreenPainter>(server_->display());
        reader_ = FrameReader::create(context_, 320, 240, {});
        ASSERT_TRUE(reader_);
        EXPECT_EQ(reader_->usesSharedMemory(), GetParam());
    }

    const PixelBuffer* grab() {
        EXPECT_TRUE(reader_->readScreenAsyncBegin());
        return reader_->readScreenAsyncFinish();
    }

    static std::unique_ptr<XServer> server_;
    std::shared_ptr<DisplayContext> context_;
    std::unique_ptr<ScreenPainter> painter_;
    std::shared_ptr<FrameReader> reader_;
};
std::unique_ptr<XServer> ScreenGrab::server_;

TEST_P(ScreenGrab, ReadsTheWholeScreenTopRowFirst) {
    EXPECT_EQ(context_->bitsPerPixel(), 32);
    EXPECT_EQ(context_->mainDisplayBounds(), (DisplayRect{0, 0, 320, 240}));
    painter_->movePointer(319, 239);
    painter_->setSquareCursor(1, 0, 0, 0, 0, 0);  // out of the way
    painter_->fill(0x000000);
    painter_->fillRect(0, 0, 160, 120, 0xFF0000);    // top left red
    painter_->fillRect(160, 0, 160, 120, 0x00FF00);  // top right green
    painter_->fillRect(0, 120, 160, 120, 0x0000FF);  // bottom left blue
    painter_->fillRect(160, 120, 160, 120, 0x336699);
    painter_->sync();

    const PixelBuffer* pixels = grab();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels->width, 320u);
    EXPECT_EQ(pixels->height, 240u);
    EXPECT_EQ(pixels->rowBytes, 320u * 4);
    EXPECT_EQ(at(*pixels, 10, 10), (Bgr{0, 0, 255}));
    EXPECT_EQ(at(*pixels, 300, 10), (Bgr{0, 255, 0}));
    EXPECT_EQ(at(*pixels, 10, 230), (Bgr{255, 0, 0}));
    EXPECT_EQ(at(*pixels, 200, 200), (Bgr{0x99, 0x66, 0x33}));
    EXPECT_EQ(at(*pixels, 159, 119), (Bgr{0, 0, 255}));
    EXPECT_EQ(at(*pixels, 160, 120), (Bgr{0x99, 0x66, 0x33}));

    // The next grab sees the change.
    painter_->fill(0x808080);
    painter_->sync();
    pixels = grab();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(at(*pixels, 10, 10), (Bgr{0x80, 0x80, 0x80}));
}

TEST_P(ScreenGrab, PaintsTheCursorAtThePointerMinusItsHotSpot) {
    painter_->fill(0x000040);
    painter_->setSquareCursor(16, 0xFFFF, 0, 0, 4, 6);
    painter_->movePointer(100, 50);

    ASSERT_TRUE(reader_->readScreenAsyncBegin());
    EXPECT_EQ(reader_->cursorImage().x, 96);
    EXPECT_EQ(reader_->cursorImage().y, 44);
    EXPECT_EQ(reader_->cursorImage().width, 16);
    const PixelBuffer* pixels = reader_->readScreenAsyncFinish();
    ASSERT_NE(pixels, nullptr);
    const Bgr red{0, 0, 255}, background{0x40, 0, 0};
    EXPECT_EQ(at(*pixels, 96, 44), red);
    EXPECT_EQ(at(*pixels, 111, 59), red);
    EXPECT_EQ(at(*pixels, 95, 44), background);
    EXPECT_EQ(at(*pixels, 112, 59), background);
    EXPECT_EQ(at(*pixels, 96, 43), background);
    EXPECT_EQ(at(*pixels, 96, 60), background);
    EXPECT_TRUE(reader_->cursorImage().empty());  // painted once, then let go

    // Partly off the screen at the bottom right: painted where it overlaps.
    painter_->setSquareCursor(16, 0, 0xFFFF, 0, 0, 0);
    painter_->movePointer(312, 236);
    pixels = grab();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(at(*pixels, 312, 236), (Bgr{0, 255, 0}));
    EXPECT_EQ(at(*pixels, 319, 239), (Bgr{0, 255, 0}));
    EXPECT_EQ(at(*pixels, 311, 236), background);
    EXPECT_EQ(at(*pixels, 312, 235), background);

    // Hot spot in the middle near the top left corner: part of it hangs off the top and the left.
    painter_->setSquareCursor(16, 0, 0, 0xFFFF, 8, 8);
    painter_->movePointer(2, 3);
    pixels = grab();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(at(*pixels, 0, 0), (Bgr{255, 0, 0}));
    EXPECT_EQ(at(*pixels, 9, 10), (Bgr{255, 0, 0}));
    EXPECT_EQ(at(*pixels, 10, 0), background);
    EXPECT_EQ(at(*pixels, 0, 11), background);
}

INSTANTIATE_TEST_SUITE_P(SharedMemoryAndCopy, ScreenGrab, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "SharedMemory" : "Copy";
                         });

TEST(DisplayContext, ReportsDepthAndRefusesMissingDisplays) {
    XServer shallow(640, 480, 16);
    std::string error;
    auto context = DisplayContext::open(shallow.display(), &error);
    ASSERT_TRUE(context) << error;
    EXPECT_EQ(context->bitsPerPixel(), 16);
    EXPECT_EQ(context->mainDisplayBounds(), (DisplayRect{0, 0, 640, 480}));
    // The reader does not read a picture that is not 32-bit.
    auto reader = FrameReader::create(context, 640, 480, {});
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->readScreenAsyncBegin());

    // A display that went away.
    shallow.stop();
    EXPECT_FALSE(context->mainDisplayBounds());
    EXPECT_TRUE(context->connectionLost());
    EXPECT_FALSE(reader->readScreenAsyncBegin());

    for (const char* name : {":9999", "not a display"}) {
        SCOPED_TRACE(name);
        error.clear();
        EXPECT_EQ(DisplayContext::open(name, &error), nullptr);
        EXPECT_NE(error.find("Could not connect to the X display \"" + std::string(name) + "\""), std::string::npos)
            << error;
    }
}

