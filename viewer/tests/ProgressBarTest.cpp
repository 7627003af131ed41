#include "ProgressBar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace
{
// Everything a bar wrote to a temporary stream.
std::string drawn(bool interactive, const std::vector<double>& fractions, const std::string& note)
{
    FILE* out = std::tmpfile();
    {
        ProgressBar bar(out, "Map", interactive);
        for (double fraction : fractions)
            bar.update(fraction);
        bar.finish(note);
        bar.update(0.3); // ignored once finished
    }
    std::rewind(out);
    std::string text;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out))
        text += char(c);
    std::fclose(out);
    return text;
}
} // namespace

TEST(ProgressBar, LogsTenthsOnOneLineWhenNotATerminal)
{
    EXPECT_EQ(drawn(false, {0.0, 0.05, 0.1, 0.5, 0.55, 0.99}, "done"), "Map: 0% 10% 50% 90% 100% done\n");
}

TEST(ProgressBar, RedrawsInPlaceOnATerminal)
{
    const std::string text = drawn(true, {0.0, 0.004, 0.5}, "");
    // 0 %, 50 % and the 100 % of finish; 0.4 % shows the same percentage as 0 % and is not redrawn.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
    EXPECT_NE(text.find("Map [####################....................]  50%"), std::string::npos) << text;
    EXPECT_NE(text.find("[########################################] 100%\n"), std::string::npos) << text;
}

TEST(ProgressBar, ClampsFractions)
{
    EXPECT_EQ(drawn(false, {-1.0, 2.0}, "x"), "Map: 0% 100% x\n");
}
