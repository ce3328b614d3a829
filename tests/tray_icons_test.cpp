// The tray pictures as committed: each .ico holds frames of 16, 20, 24 and 32 pixels
// (the program's own icon also 48) in 16 colours with a mask; the 16 x 16 one shows
// exactly its pixel art in the colour that tells the state (grey stopped, red running,
// green converting), and the larger ones the same art with lines drawn twice (or
// thrice), never blurred. Catches an art edit that was not followed by a run of
// res/icons/make_icons.py, a picture wired to the wrong colour or plug count, and a
// directory that points the system at the wrong bytes.
// Host build only: the files are read from the source tree.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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
        if (line.empty() || line[0] == '#' || line.rfind("twice ", 0) == 0) continue;  // and the larger frames' doubled lines
        rows.push_back(line);
    }
    return rows;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Palette indices of the standard 16 colours, and the palette itself (stored blue,
// green, red, 0, so read as 0x00RRGGBB).
constexpr int kBlack = 0, kMaroon = 1, kGreen = 2, kNavy = 4, kSilver = 7, kGrey = 8;
constexpr int kRed = 9, kLime = 10, kYellow = 11, kBlue = 12, kWhite = 15;
constexpr uint32_t kPalette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
                                   0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

// A palette index per pixel, top row first; -1 is transparent.
using Picture = std::vector<std::vector<int>>;

// Drops each row equal to the one above, counting how many rows each kept one stands for,
// and turns the result on its side, so that a second call does the columns.
Picture Collapsed(const Picture& p, std::vector<int>& counts) {
    Picture kept;
    for (const auto& row : p) {
        if (kept.empty() || kept.back() != row) { kept.push_back(row); counts.push_back(0); }
        ++counts.back();
    }
    Picture turned(p[0].size(), std::vector<int>(kept.size()));
    for (size_t y = 0; y < kept.size(); ++y)
        for (size_t x = 0; x < kept[y].size(); ++x) turned[x][y] = kept[y][x];
    return turned;
}

// The first opaque row and column and one past the last: {top, bottom, left, right}.
std::vector<int> Edges(const Picture& p) {
    std::vector<int> e = {int(p.size()), 0, int(p.size()), 0};
    for (int y = 0; y < int(p.size()); ++y)
        for (int x = 0; x < int(p.size()); ++x)
            if (p[y][x] >= 0) e = {std::min(e[0], y), std::max(e[1], y + 1), std::min(e[2], x), std::max(e[3], x + 1)};
    return e;
}

struct IconCase {
    int id;
    const char* art;
    int body, shade;  // the colours of the letters B and b
};

class TrayIconFileTest : public ::testing::TestWithParam<IconCase> {};

TEST_P(TrayIconFileTest, HoldsItsArtInItsColoursAtEachSize) {
    const IconCase& c = GetParam();
    const std::vector<uint8_t> ico = ReadFile(kIconDir + "icon" + std::to_string(c.id) + ".ico");
    const std::vector<std::string> art = ReadArt(kIconDir + c.art);
    ASSERT_EQ(art.size(), 16u);
    Picture expected(16, std::vector<int>(16));
    for (int y = 0; y < 16; ++y) {
        ASSERT_EQ(art[y].size(), 16u);
        for (int x = 0; x < 16; ++x) {
            const char letter = art[y][x];
            expected[y][x] = letter == '.' ? -1 : letter == 'k' ? kBlack : letter == 'Y' ? kYellow : letter == 'H' ? kWhite
                           : letter == 'B' ? c.body : letter == 'b' ? c.shade : -2;
        }
    }

    // Directory: four icons, smallest first (five for the program's own, which Explorer
    // also shows at 48), of 16 colours, 1 plane, 4 bits; each bitmap as long as its entry
    // says, twice as high for the mask, with the standard palette, and inside the file
    // after the directory and the bitmap before it.
    std::vector<int> sizes = {16, 20, 24, 32};
    if (c.id == 128) sizes.push_back(48);
    const size_t count = sizes.size();
    ASSERT_GE(ico.size(), 6 + count * 16);
    EXPECT_EQ(ico[2], 1);
    ASSERT_EQ(ico[4], count);
    size_t end = 6 + count * 16;
    for (size_t i = 0; i < count; ++i) {
        const int n = sizes[i];
        const size_t entry = 6 + 16 * i, image = U32(ico, entry + 12);
        const size_t stride = (4 * n + 31) / 32 * 4, maskStride = (n + 31) / 32 * 4;
        const size_t palette = image + 40, bits = palette + 64, mask = bits + stride * n;
        EXPECT_EQ(U32(ico, entry), n | n << 8 | 16 << 16) << "frame " << n;
        EXPECT_EQ(U32(ico, entry + 4), 1 | 4 << 16) << "frame " << n;
        EXPECT_GE(image, end) << "frame " << n;
        ASSERT_EQ(U32(ico, entry + 8), mask + maskStride * n - image) << "frame " << n;
        end = mask + maskStride * n;
        ASSERT_LE(end, ico.size()) << "frame " << n;
        EXPECT_EQ(U32(ico, image + 4), unsigned(n));
        EXPECT_EQ(U32(ico, image + 8), unsigned(2 * n));
        EXPECT_EQ(ico[image + 14], 4);
        for (int k = 0; k < 16; ++k) EXPECT_EQ(U32(ico, palette + 4 * k), kPalette[k]) << "frame " << n << " colour " << k;

        Picture frame(n, std::vector<int>(n));
        for (int y = 0; y < n; ++y) {
            const int row = n - 1 - y;  // bottom-up
            for (int x = 0; x < n; ++x) {
                const uint8_t pair = ico[bits + row * stride + x / 2];
                const int index = (x % 2 == 0) ? (pair >> 4) : (pair & 0x0F);
                const bool transparent = (ico[mask + row * maskStride + x / 8] >> (7 - x % 8)) & 1;
                // Black under the mask, or the screen would show through inverted.
                EXPECT_TRUE(!transparent || index == 0) << "frame " << n << " at " << x << "," << y;
                frame[y][x] = transparent ? -1 : index;
            }
        }
        if (n == 16) {
            EXPECT_EQ(frame, expected) << "icon " << c.id << " differs from " << c.art;
            continue;
        }
        if (n % 16 == 0) {  // 32 and 48: the exact double and triple
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x)
                    EXPECT_EQ(frame[y][x], expected[y * 16 / n][x * 16 / n]) << "frame " << n << " at " << x << "," << y;
            continue;
        }
        // Crisp: with runs of equal rows and of equal columns taken as one, the frame is the
        // art, and each run is its art run with every line drawn once or twice.
        std::vector<int> art1, art2, frame1, frame2;  // rows, then columns
        ASSERT_EQ(Collapsed(Collapsed(frame, frame1), frame2), Collapsed(Collapsed(expected, art1), art2))
            << "icon " << c.id << " frame " << n << " is not its art with lines drawn twice";
        for (size_t k = 0; k < art1.size(); ++k)
            EXPECT_TRUE(art1[k] <= frame1[k] && frame1[k] <= 2 * art1[k]) << "frame " << n << " row run " << k;
        for (size_t k = 0; k < art2.size(); ++k)
            EXPECT_TRUE(art2[k] <= frame2[k] && frame2[k] <= 2 * art2[k]) << "frame " << n << " column run " << k;
        // Grown as a whole, not by its margins: each edge of the picture within a pixel of
        // where scaling the art would put it.
        const std::vector<int> artEdges = Edges(expected), frameEdges = Edges(frame);
        for (int k = 0; k < 4; ++k) EXPECT_LE(std::abs(frameEdges[k] * 16 - artEdges[k] * n), 16) << "frame " << n << " edge " << k;
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
