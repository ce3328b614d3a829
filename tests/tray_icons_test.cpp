// The tray pictures as committed: each .ico is 16 x 16 in 16 colours with a mask, and
// shows exactly its pixel art in the colour that tells the state (grey stopped, red
// running, green converting). Catches an art edit that was not followed by a run of
// res/icons/make_icons.py, and a picture wired to the wrong colour or plug count.
// Host build only: the files are read from the source tree.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kIconDir = [] {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/")) + "/res/icons/";
}();

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadArt(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> rows;
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        rows.push_back(line);
    }
    return rows;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Palette indices of the standard 16 colours.
constexpr int kBlack = 0, kMaroon = 1, kGreen = 2, kNavy = 4, kSilver = 7, kGrey = 8;
constexpr int kRed = 9, kLime = 10, kYellow = 11, kBlue = 12, kWhite = 15;

struct IconCase {
    int id;
    const char* art;
    int body, shade;  // the colours of the letters B and b
};

class TrayIconFileTest : public ::testing::TestWithParam<IconCase> {};

TEST_P(TrayIconFileTest, ShowsItsArtInItsColours) {
    const IconCase& c = GetParam();
    const std::vector<uint8_t> ico = ReadFile(kIconDir + "icon" + std::to_string(c.id) + ".ico");
    const std::vector<std::string> art = ReadArt(kIconDir + c.art);
    ASSERT_EQ(art.size(), 16u);
    const size_t image = 6 + 16, palette = image + 40, bits = palette + 64, mask = bits + 128;
    ASSERT_EQ(ico.size(), mask + 64);

    // Directory: one icon, 16 x 16, 16 colours; the bitmap 4 bits deep, twice as high
    // for the mask.
    EXPECT_EQ(ico[2], 1);
    EXPECT_EQ(ico[4], 1);
    EXPECT_EQ(ico[6], 16);
    EXPECT_EQ(ico[7], 16);
    EXPECT_EQ(ico[8], 16);
    EXPECT_EQ(U32(ico, image + 4), 16u);
    EXPECT_EQ(U32(ico, image + 8), 32u);
    EXPECT_EQ(ico[image + 14], 4);
    // The palette's red entry is red and its lime entry green (stored blue, green, red).
    EXPECT_EQ(U32(ico, palette + 4 * kRed), 0x00FF0000u);
    EXPECT_EQ(U32(ico, palette + 4 * kLime), 0x0000FF00u);

    for (int y = 0; y < 16; ++y) {
        const int row = 15 - y;  // bottom-up
        for (int x = 0; x < 16; ++x) {
            const uint8_t pair = ico[bits + row * 8 + x / 2];
            const int index = (x % 2 == 0) ? (pair >> 4) : (pair & 0x0F);
            const bool transparent = (ico[mask + row * 4 + x / 8] >> (7 - x % 8)) & 1;
            const char letter = art[y][x];
            if (letter == '.') {
                EXPECT_TRUE(transparent) << "icon " << c.id << " at " << x << "," << y;
                continue;
            }
            EXPECT_FALSE(transparent) << "icon " << c.id << " at " << x << "," << y;
            const int expected = letter == 'k' ? kBlack : letter == 'Y' ? kYellow : letter == 'H' ? kWhite
                               : letter == 'B' ? c.body : letter == 'b' ? c.shade : -1;
            EXPECT_EQ(index, expected) << "icon " << c.id << " letter " << letter << " at " << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, TrayIconFileTest,
                         ::testing::Values(IconCase{200, "one_plug.txt", kSilver, kGrey},
                                           IconCase{201, "two_plugs.txt", kSilver, kGrey},
                                           IconCase{210, "one_plug.txt", kRed, kMaroon},
                                           IconCase{211, "two_plugs.txt", kRed, kMaroon},
                                           IconCase{220, "one_plug.txt", kLime, kGreen},
                                           IconCase{221, "two_plugs.txt", kLime, kGreen},
                                           IconCase{128, "two_plugs.txt", kBlue, kNavy}));

TEST(TrayIconArtTest, TwoPlugsPointInOppositeDirections) {
    // The upper plug's pins (Y) are right of its body, the lower plug's left of it.
    const std::vector<std::string> art = ReadArt(kIconDir + "two_plugs.txt");
    ASSERT_EQ(art.size(), 16u);
    auto pinSide = [&](int top, int bottom) {
        int left = 0, right = 0;
        for (int y = top; y < bottom; ++y) {
            const size_t body = art[y].find('B');
            for (size_t x = 0; x < art[y].size(); ++x) {
                if (art[y][x] != 'Y' || body == std::string::npos) continue;
                (x < body ? left : right)++;
            }
        }
        return right > 0 && left == 0 ? 'R' : left > 0 && right == 0 ? 'L' : '?';
    };
    EXPECT_EQ(pinSide(0, 8), 'R');
    EXPECT_EQ(pinSide(8, 16), 'L');
}

}  // namespace
#endif
