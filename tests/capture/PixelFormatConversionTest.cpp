// Pictures in a camera's pixel formats go through the movie writer's conversion as well as BGRA.

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstring>

#include "capture/MovieWriter.h"
#include "capture/MovieWriterTestSupport.h"
#include "capture/devices/CameraFrame.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

using namespace writertest;

constexpr int kWidth = 64, kHeight = 48;

// A picture of one grey level in `format`, as a decoder would hand it over.
ff::FramePtr greyPicture(AVPixelFormat format, int grey) {
    ff::FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const bool fullRange = std::strncmp(desc->name, "yuvj", 4) == 0;
    const auto luma = static_cast<std::uint8_t>(fullRange ? grey : 16 + grey * 219 / 255);
    auto fill = [&](int plane, int rows, int bytes, auto pattern) {
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < bytes; ++x) frame->data[plane][y * frame->linesize[plane] + x] = pattern(x);
    };
    const int chromaRows = AV_CEIL_RSHIFT(kHeight, desc->log2_chroma_h);
    const int chromaWidth = AV_CEIL_RSHIFT(kWidth, desc->log2_chroma_w);
    switch (format) {
    case AV_PIX_FMT_YUYV422:
        fill(0, kHeight, kWidth * 2, [&](int x) { return x % 2 == 0 ? luma : std::uint8_t{128}; });
        break;
    case AV_PIX_FMT_NV12:
        fill(0, kHeight, kWidth, [&](int) { return luma; });
        fill(1, chromaRows, chromaWidth * 2, [](int) { return std::uint8_t{128}; });
        break;
    default:  // planar YUV
        fill(0, kHeight, kWidth, [&](int) { return luma; });
        fill(1, chromaRows, chromaWidth, [](int) { return std::uint8_t{128}; });
        fill(2, chromaRows, chromaWidth, [](int) { return std::uint8_t{128}; });
        break;
    }
    return frame;
}

struct FormatCase {
    const char* name;
    std::vector<AVPixelFormat> formats;  // one per frame, in turn
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class PixelFormatConversionTest : public ::testing::TestWithParam<FormatCase> {};

// Each picture keeps its grey level through the conversion into the encoder's format, whatever
// the layout it came in (planar, semi-planar, packed, full or limited range), also when the
// layout changes from one picture to the next.
TEST_P(PixelFormatConversionTest, KeepsTheGreyLevelOfEveryPicture) {
    test::TempDir dir;
    const auto movie = dir.path() / "camera.mov";
    std::string codec = "mp4v";
    auto options = MovieWriter::compressionOptions(&codec, 0x300, 512000, 30, false);
    const std::vector<int> greys{40, 90, 140, 190, 230, 60};
    RecordingDelegate delegate;
    std::vector<std::shared_ptr<CameraFrame>> frames;
    {
        MovieWriter writer(movie.string(), codec, kWidth, kHeight, options, &delegate);
        for (std::size_t i = 0; i < greys.size(); ++i) {
            AVPixelFormat format = GetParam().formats[i % GetParam().formats.size()];
            ff::FramePtr picture = greyPicture(format, greys[i]);
            ASSERT_TRUE(picture);
            auto frame = std::make_shared<CameraFrame>(std::move(picture), static_cast<std::int64_t>(i) * 33333);
            const PixelBuffer* pixels = frame->pixelBuffer();
            ASSERT_TRUE(pixels);
            EXPECT_EQ(pixels->pixelFormat, format);
            EXPECT_EQ(pixels->width, static_cast<std::uint32_t>(kWidth));
            EXPECT_EQ(pixels->height, static_cast<std::uint32_t>(kHeight));
            frames.push_back(frame);
            EXPECT_TRUE(writer.compressFrameOnSeparateThread(frame));
        }
        writer.writeAndCloseMovie();
    }
    EXPECT_TRUE(delegate.errors().empty());
    std::vector<int> decoded = decodedGreyLevels(movie);
    ASSERT_EQ(decoded.size(), greys.size());
    for (std::size_t i = 0; i < greys.size(); ++i) EXPECT_NEAR(decoded[i], greys[i], 6) << "picture " << i;
    // The frames stay readable after the writer gave their pixels back.
    for (const auto& frame : frames) EXPECT_TRUE(frame->pixelBuffer());
}

INSTANTIATE_TEST_SUITE_P(
    CameraFormats, PixelFormatConversionTest,
    ::testing::Values(FormatCase{"yuv420p", {AV_PIX_FMT_YUV420P}}, FormatCase{"yuyv422", {AV_PIX_FMT_YUYV422}},
                      FormatCase{"nv12", {AV_PIX_FMT_NV12}}, FormatCase{"yuvj422p", {AV_PIX_FMT_YUVJ422P}},
                      FormatCase{"yuvj420p", {AV_PIX_FMT_YUVJ420P}},
                      FormatCase{"changing", {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUVJ422P}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

// A picture that names a format but lacks a plane it needs is dropped, not read out of bounds;
// the pictures around it are written.
TEST(PixelFormatConversion, DropsAPictureWithAMissingPlane) {
    test::TempDir dir;
    const auto movie = dir.path() / "camera.mov";
    auto counts = std::make_shared<FrameCounts>();
    RecordingDelegate delegate;
    {
        MovieWriter writer(movie.string(), "mp4v", kWidth, kHeight, nullptr, &delegate);
        writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(0, 30, kWidth, kHeight, 100, counts));
        class Broken : public VideoFrame {
        public:
            Broken() : VideoFrame(1, 30) {
                plane_.resize(kWidth * kHeight);
                buffer_.width = kWidth;
                buffer_.height = kHeight;
                buffer_.pixelFormat = AV_PIX_FMT_YUV420P;
                buffer_.data = buffer_.planes[0] = plane_.data();
                buffer_.planeRowBytes[0] = kWidth;  // no chroma planes
            }
            const PixelBuffer* pixelBuffer() override { return &buffer_; }
            void releasePixels() override {}

        private:
            std::vector<std::uint8_t> plane_;
            PixelBuffer buffer_;
        };
        writer.compressFrameOnSeparateThread(std::make_shared<Broken>());
        writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(2, 30, kWidth, kHeight, 200, counts));
        writer.writeAndCloseMovie();
    }
    std::vector<int> decoded = decodedGreyLevels(movie);
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_NEAR(decoded[0], 100, 6);
    EXPECT_NEAR(decoded[1], 200, 6);
}

}  // namespace
}  // namespace orvanta::capture
