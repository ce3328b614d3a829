// The conversions at the system's calls: 932 texts through UTF-16 and back unchanged,
// texts without a 932 form replaced visibly and reported, never half a character.
#include <gtest/gtest.h>

#include <string>

#include "platform/cp932.h"
#include "platform/wide_text.h"

namespace {

TEST(WideTextTest, A932TextThroughUtf16AndBackIsUnchanged) {
    struct Case {
        const char* what;
        std::string cp932;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"ASCII", "Live", u"Live"},
        {"empty", "", u""},
        {"kanji and kana", "設定の名称", u"設定の名称"},
        {"half-width kana", "ﾁｭｰﾆﾝｸﾞ", u"ﾁｭｰﾆﾝｸﾞ"},
        {"full-width signs", "＋－", u"＋－"},
        {"a trail byte that is '\\\\'", "ソ表", u"ソ表"},  // 0x83 0x5C, 0x95 0x5C
        {"the message texts", "MIDI-IN1をオープンできません。", u"MIDI-IN1をオープンできません。"},
        {"the tuning text", "ﾁｭｰﾆﾝｸﾞが終了したら「OK」ボタンを押して下さい。",
         u"ﾁｭｰﾆﾝｸﾞが終了したら「OK」ボタンを押して下さい。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(text::Utf16From932(c.cp932.c_str()), c.utf16);
        bool replaced = true;
        EXPECT_EQ(text::Cp932FromUtf16(c.utf16, &replaced), c.cp932);
        EXPECT_FALSE(replaced);
    }
}

TEST(WideTextTest, TextsWithoutA932FormAreReplacedVisiblyAndReported) {
    struct Case {
        const char* what;
        std::u16string utf16;
        std::string cp932;
    };
    const Case cases[] = {
        {"an accented letter", u"Caf\u00E9", "Caf?"},
        {"an emoji (two UTF-16 units, one character)", u"A\U0001F3B9B", "A?B"},
        {"a lone surrogate", std::u16string(u"x") + char16_t(0xD800) + u"y", "x?y"},
        {"Hangul", u"\uD55C", "?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool replaced = false;
        const std::string got = text::Cp932FromUtf16(c.utf16, &replaced);
        EXPECT_EQ(got, c.cp932);
        EXPECT_TRUE(replaced);
        // Whole characters only: the preset name's cut finds nothing broken to mend.
        EXPECT_EQ(Cp932CutLength(got.c_str(), got.size()), got.size());
    }
    // Bytes that are not 932 (a lead byte without its trail) show, they do not vanish,
    // and are reported.
    bool invalid = false;
    EXPECT_EQ(text::Utf16From932("AB\x82", std::string::npos, &invalid), u"AB\u30FB");
    EXPECT_TRUE(invalid);
    text::Utf16From932("AB\x82\xA0", std::string::npos, &invalid);
    EXPECT_FALSE(invalid);
}

}  // namespace
