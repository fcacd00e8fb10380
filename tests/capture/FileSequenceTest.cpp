#include <gtest/gtest.h>

#include "capture/FileSequence.h"
#include "support/LogCapture.h"

using orvanta::capture::fileURLWithNextSequence;

TEST(FileSequence, NextNameFollowsTheNumberingRule) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        // The stream file and its sequence.
        {"/rec/G.DV.mov", "/rec/G_0.DV.mov"},
        {"/rec/G_0.DV.mov", "/rec/G_1.DV.mov"},
        {"/rec/G_1.DV.mov", "/rec/G_2.DV.mov"},
        {"/rec/G_9.DV.mov", "/rec/G_10.DV.mov"},
        {"/rec/G_41.AUDIO.mov", "/rec/G_42.AUDIO.mov"},
        {"3F2504E0-4F89-11D3-9A0C-0305E82C3301.DV.mov", "3F2504E0-4F89-11D3-9A0C-0305E82C3301_0.DV.mov"},
        // Only the last component counts.
        {"/a_1.b/c_2.d/G.DV.mov", "/a_1.b/c_2.d/G_0.DV.mov"},
        {"/a_1.b/G_3.DV.mov", "/a_1.b/G_4.DV.mov"},
        // A "_" without a number reads as 0; the character after the (empty) number is skipped.
        {"/rec/G_.DV.mov", "/rec/G_1.DV.mov"},
        {"/rec/a_b.mov", "/rec/a_1..mov"},
        // Base up to the first "_", whatever follows.
        {"/rec/G_0_x.mov", "/rec/G_1.x.mov"},
        // No "_": base up to the first ".", number 0.
        {"/rec/movie.tar.gz", "/rec/movie_0.tar.gz"},
        {"/rec/.hidden", "/rec/_0.hidden"},
        // No "." at all: the whole name is the base.
        {"/rec/movie", "/rec/movie_0."},
        {"/rec/movie_0.", "/rec/movie_1."},
        {"/rec/G_7", "/rec/G_8."},
        // File URLs are sequenced like paths.
        {"file:///rec/G.DV.mov", "file:///rec/G_0.DV.mov"},
        {"FILE:///rec/G_0.DV.mov", "FILE:///rec/G_1.DV.mov"},
        // Nothing to number.
        {"/rec/", "/rec/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(fileURLWithNextSequence(c.in), c.out);
    }
}

TEST(FileSequence, NonFileURLsAreReturnedUnchangedAndLogged) {
    const char* urls[] = {"http://host/G.DV.mov", "https://host/rec/G_0.DV.mov", "rtsp://cam/stream"};
    for (const char* url : urls) {
        SCOPED_TRACE(url);
        orvanta::test::LogCapture log;
        EXPECT_EQ(fileURLWithNextSequence(url), url);
        EXPECT_TRUE(log.contains("We don't sequence non-file URLs"));
    }
    // A path that merely contains "://" further on is still a path.
    orvanta::test::LogCapture log;
    EXPECT_EQ(fileURLWithNextSequence("/rec/x://G.mov"), "/rec/x://G_0.mov");
    EXPECT_FALSE(log.contains("We don't sequence"));
}

TEST(FileSequence, HugeNumbersDoNotOverflow) {
    EXPECT_EQ(fileURLWithNextSequence("/rec/G_99999999999999999999.mov"), "/rec/G_2147483647.mov");
    EXPECT_EQ(fileURLWithNextSequence("/rec/G_2147483646.mov"), "/rec/G_2147483647.mov");
}
