// The MIDI monitor: the decoder's texts (every kind of status byte, running status, the
// SysEx kinds, the edges), the tap's rings (what is written while the monitor is open
// and only then, lost lines counted, time order across rings) and the model's list and
// figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "dialogs/midi_decode.h"
#include "dialogs/monitor_model.h"
#include "engine/engine.h"
#include "engine/monitor_tap.h"
#include "tests/engine_test_support.h"

namespace {

TEST(MidiDecoder, ShortMessagesOneStreamInOrder) {
    struct Step {
        uint32_t packed;
        const char* text;
    };
    const Step steps[] = {
        {0x643C90, "ノートオン Ch.1 C4(60) ベロシティ 100"},
        // Running status: the packed bytes are the two data bytes.
        {0x7F00, "ノートオン Ch.1 C-1(0) ベロシティ 127"},
        {0x007F, "ノートオフ Ch.1 G9(127) (ベロシティ0のノートオン)"},
        {0x40458F, "ノートオフ Ch.16 A4(69) ベロシティ 64"},
        {0x203DA3, "ポリフォニックプレッシャー Ch.4 C#4(61) 値 32"},
        {0x7F40B0, "コントロールチェンジ Ch.1 CC64 サステイン 値 127"},
        {0x0001B1, "コントロールチェンジ Ch.2 CC1 モジュレーション 値 0"},
        {0x6407B1, "コントロールチェンジ Ch.2 CC7 ボリューム 値 100"},
        {0x400AB1, "コントロールチェンジ Ch.2 CC10 パン 値 64"},
        {0x7F0BB1, "コントロールチェンジ Ch.2 CC11 エクスプレッション 値 127"},
        {0x0000B1, "コントロールチェンジ Ch.2 CC0 バンクセレクト 値 0"},
        {0x0078B1, "コントロールチェンジ Ch.2 CC120 オールサウンドオフ 値 0"},
        {0x0079B1, "コントロールチェンジ Ch.2 CC121 リセットオールコントローラー 値 0"},
        {0x007BB1, "コントロールチェンジ Ch.2 CC123 オールノートオフ 値 0"},
        {0x104AB1, "コントロールチェンジ Ch.2 CC74 値 16"},
        {0x00C5, "プログラムチェンジ Ch.6 1"},
        {0x7FC5, "プログラムチェンジ Ch.6 128"},
        {0x30DF, "チャンネルプレッシャー Ch.16 値 48"},
        {0x0000E0, "ピッチベンド Ch.1 -8192"},
        {0x7F7FE0, "ピッチベンド Ch.1 +8191"},
        {0x4000E0, "ピッチベンド Ch.1 +0"},
        {0xF8, "タイミングクロック"},
        {0x2000, "ピッチベンド Ch.1 -4096"},  // real-time left the running status E0
        {0x1020F2, "ソングポジション 2080"},
        {0x35, "データ 35 (ステータスなし)"},  // system common ended the running status
        {0x05F3, "ソングセレクト 5"},
        {0x23F1, "MTCクォーターフレーム 種類 2 値 3"},
        {0xF6, "チューンリクエスト"},
        {0xF7, "SysEx終了 (F7)"},
        {0xF4, "未定義 F4"},
        {0xFA, "スタート"},
        {0xFB, "コンティニュー"},
        {0xFC, "ストップ"},
        {0xFE, "アクティブセンシング"},
        {0xFF, "システムリセット"},
        {0xFD, "未定義 FD"},
    };
    MidiDecoder d;
    for (const Step& s : steps) EXPECT_EQ(d.Short(s.packed), s.text) << std::hex << s.packed;
}

TEST(MidiDecoder, SysExKinds) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t length;  // 0: the bytes' own
        const char* text;
    };
    std::vector<uint8_t> gs600 = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00};
    gs600.resize(599, 0x00);
    gs600.push_back(0xF7);
    const Case cases[] = {
        {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, 0, "SysEx 6 バイト GMシステムオン"},
        {{0xF0, 0x7E, 0x10, 0x09, 0x03, 0xF7}, 0, "SysEx 6 バイト GM2システムオン"},
        {{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, 0, "SysEx 11 バイト GSリセット"},
        {{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, 0, "SysEx 9 バイト XGリセット"},
        {gs600, 0, "SysEx 600 バイト メーカーID 41 GSデータセット 40 00 7F"},
        {{0xF0, 0x7F, 0x7F, 0x04, 0x01, 0x00, 0x40, 0xF7}, 0, "SysEx 8 バイト ユニバーサル・リアルタイム (サブID 04 01)"},
        {{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}, 0, "SysEx 6 バイト ユニバーサル・ノンリアルタイム (サブID 06 01)"},
        {{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x01, 0xF7}, 0, "SysEx 9 バイト メーカーID 43"},
        {{0xF0, 0x00, 0x20, 0x29, 0x01, 0xF7}, 0, "SysEx 6 バイト メーカーID 00 20 29"},
        {{0xF0, 0x7D, 0x01, 0xF7}, 0, "SysEx 4 バイト 非営利"},
        {{0xF0, 0x41, 0x10, 0x42}, 0, "SysEx 4 バイト メーカーID 41 末尾のF7なし"},
        {{0x12, 0x40, 0xF7}, 0, "SysEx 3 バイト 先頭のF0なし"},
        // A GS Reset's bytes in a longer message are no GS Reset.
        {{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0x00, 0xF7}, 0,
         "SysEx 12 バイト メーカーID 41 GSデータセット 40 00 7F"},
    };
    for (const Case& c : cases) {
        MidiDecoder d;
        const uint32_t length = c.length ? c.length : static_cast<uint32_t>(c.bytes.size());
        const uint32_t head = std::min<uint32_t>(length, kTapHeadBytes);
        EXPECT_EQ(d.Long(c.bytes.data(), head, length, c.bytes.back()), c.text) << c.text;
    }
    // A SysEx message ends the running status.
    MidiDecoder d;
    d.Short(0x403C90);
    const uint8_t gm[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    d.Long(gm, 6, 6, 0xF7);
    EXPECT_EQ(d.Short(0x4040), "データ 40 (ステータスなし)");
}

TEST(MonitorTexts, ColumnsAndFigures) {
    EXPECT_EQ(monitor::TimeText(5'000'000, 1'000'000, 3'600'000), "01:00:04.000");
    EXPECT_EQ(monitor::TimeText(1'234'567, 0, 86'399'000), "00:00:00.234") << "past midnight";
    EXPECT_STREQ(monitor::DirectionText(TapSource::Metronome), "出力 (メトロノーム)");
    EXPECT_STREQ(monitor::DirectionText(TapSource::Panel), "出力 (パネル)");
    EXPECT_EQ(monitor::HeadText("Keys A", "", monitor::RouteState::Waiting, "Synth A"),
              "IN: Keys A  →  OUT: (なし)   接続待ち: Synth A");
    EXPECT_EQ(monitor::HeadText("Keys A", "Synth A", monitor::RouteState::Forwarding, nullptr),
              "IN: Keys A  →  OUT: Synth A   転送中");
    monitor::Figures f;
    f.in = 12;
    f.out = 11;
    f.sysExIn = 1;
    f.sysExInBytes = 600;
    f.ringDrops = 3;
    f.brokenDrops = 2;
    EXPECT_EQ(monitor::FiguresText(f, 5, 4),
              "入力 12 (5/秒)   出力 11 (4/秒)   SysEx 入力 1 (600 バイト)  出力 0 (0 バイト)\n"
              "破棄: リング満杯 3   バックログ超過 0   途切れ・先頭なし 2");
}

class Tap : public ::testing::Test {
protected:
    void SetUp() override { OpenTap(); }
    void TearDown() override {
        CloseTap();
        for (int r = 0; r < 2; ++r) ringDrops[r] = 0;
    }
    static std::vector<TapEntry> TakeAll() {
        std::vector<TapEntry> v;
        TakeTap([](const TapEntry& e, void* ctx) { static_cast<std::vector<TapEntry>*>(ctx)->push_back(e); }, &v);
        return v;
    }
};

TEST_F(Tap, WritesOnlyWhileOpenAndLosesLinesNotMessagesWhenFull) {
    const monitor::Figures before = monitor::ReadFigures(0);
    const uint64_t lostBefore = tapLost[kTapInput1].load();
    for (uint32_t i = 0; i < kTapRingSize + 5; ++i) TapShort(kTapInput1, TapSource::In, 0, 0x403C90 + (i & 0x7F));
    EXPECT_EQ(tapLost[kTapInput1].load() - lostBefore, 5u);
    EXPECT_EQ(monitor::ReadFigures(0).in - before.in, kTapRingSize + 5) << "every message counted, lines lost or not";
    std::vector<TapEntry> got = TakeAll();
    ASSERT_EQ(got.size(), kTapRingSize);
    EXPECT_EQ(got.front().message, 0x403C90u);
    EXPECT_EQ(got.back().message, 0x403C90u + ((kTapRingSize - 1) & 0x7F)) << "the newest are the ones lost";
    // Emptied, the ring takes lines again; a closed tap drops what the rings still hold
    // when it opens again.
    TapShort(kTapWorker, TapSource::Out, 1, 0xF8);
    CloseTap();
    OpenTap();
    EXPECT_TRUE(TakeAll().empty());
}

TEST_F(Tap, TheModelPutsRingsInTimeOrderAndKeepsTheLatestLines) {
    const uint8_t gs[] = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    TapShort(kTapInput1, TapSource::In, 0, 0x643C90);
    TapShort(kTapWorker, TapSource::Out, 0, 0x643C95);
    TapShort(kTapInput1 + 1, TapSource::In, 1, 0x0040B0);
    TapLong(kTapOther, TapSource::Panel, 1, gs, sizeof gs);
    std::vector<TapEntry> batch = TakeAll();
    ASSERT_EQ(batch.size(), 4u);
    // Ring by ring: route 1's callback, route 2's, the worker, the other writers. The
    // times as they might come: the worker's line at the very time of its callback's.
    const int64_t times[4] = {10, 30, 10, 20};
    for (int i = 0; i < 4; ++i) batch[i].timeUs = times[i];
    monitor::Monitor m;
    const monitor::Figures zero[2];
    m.Reset(zero, 0, 0);
    EXPECT_EQ(m.Take(batch), 4u);
    ASSERT_EQ(m.Size(), 4u);
    std::vector<std::string> texts;
    for (size_t i = 0; i < m.Size(); ++i) {
        EXPECT_TRUE(i == 0 || m.At(i - 1).timeUs <= m.At(i).timeUs) << "time order";
        texts.push_back(std::string(monitor::RouteText(m.At(i).route)) + " " + monitor::DirectionText(m.At(i).source) +
                        " " + m.At(i).text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Kavo1 入力 ノートオン Ch.1 C4(60) ベロシティ 100",
                                               "Kavo1 出力 ノートオン Ch.6 C4(60) ベロシティ 100",
                                               "Kavo2 出力 (パネル) SysEx 11 バイト GSリセット",
                                               "Kavo2 入力 コントロールチェンジ Ch.1 CC64 サステイン 値 0"}));

    // Paused: nothing is added. More lines than the list keeps: the oldest go.
    std::vector<TapEntry> more(monitor::kLines + 3, batch[0]);
    for (size_t i = 0; i < more.size(); ++i) more[i].timeUs = 1000 + static_cast<int64_t>(i);
    m.SetPaused(true);
    std::vector<TapEntry> paused = more;
    EXPECT_EQ(m.Take(paused), 0u);
    EXPECT_EQ(m.Size(), 4u);
    m.SetPaused(false);
    m.Take(more);
    EXPECT_EQ(m.Size(), monitor::kLines);
    EXPECT_EQ(m.At(0).timeUs, 1003);
    EXPECT_EQ(m.At(monitor::kLines - 1).timeUs, 1000 + static_cast<int64_t>(monitor::kLines) + 2);
    EXPECT_EQ(m.Added(), 4u + monitor::kLines + 3);
}

TEST(MonitorFigures, CountsAndRatesFromTheLastClear) {
    monitor::Monitor m;
    monitor::Figures now[2];
    now[0].in = 100;
    now[0].ringDrops = 7;
    m.Reset(now, 40, 10'000);
    now[0].in = 160;
    now[0].out = 30;
    now[0].ringDrops = 9;
    now[1].sysExOut = 2;
    m.Sample(now, 45, 10'500);
    EXPECT_EQ(m.Shown(0).in, 60u);
    EXPECT_EQ(m.Shown(0).ringDrops, 2u);
    EXPECT_EQ(m.Shown(1).sysExOut, 2u);
    EXPECT_EQ(m.Lost(), 5u);
    EXPECT_EQ(m.InPerSecond(0), 0u) << "no second has passed yet";
    now[0].in = 400;
    m.Sample(now, 45, 12'000);
    EXPECT_EQ(m.InPerSecond(0), 150u) << "300 in two seconds";
    EXPECT_EQ(m.OutPerSecond(0), 15u);
    m.Clear(now, 45, 12'000);
    EXPECT_EQ(m.Size(), 0u);
    m.Sample(now, 46, 12'100);
    EXPECT_EQ(m.Shown(0).in, 0u);
    EXPECT_EQ(m.Lost(), 1u);
}

// The engine's writers: the callback, the worker's sends (short and SysEx), the
// metronome and the panel's; and nothing at all while the monitor is closed.
class TapOnDevices : public EngineFixture {
protected:
    void TearDown() override {
        CloseTap();
        EngineFixture::TearDown();
    }
    static std::vector<TapEntry> Take() {
        std::vector<TapEntry> v;
        TakeTap([](const TapEntry& e, void* ctx) { static_cast<std::vector<TapEntry>*>(ctx)->push_back(e); }, &v);
        return v;
    }
    static std::vector<std::string> Lines(std::vector<TapEntry> batch) {
        monitor::Monitor m;
        const monitor::Figures zero[2];
        m.Reset(zero, 0, 0);
        m.Take(batch);
        std::vector<std::string> v;
        for (size_t i = 0; i < m.Size(); ++i)
            v.push_back(std::string(monitor::RouteText(m.At(i).route)) + " " + monitor::DirectionText(m.At(i).source) +
                        " " + m.At(i).text);
        std::sort(v.begin(), v.end());  // the two routes' order between them is the threads'
        return v;
    }
};

TEST_F(TapOnDevices, SeesBothRoutesWhileOpenAndNothingWhileClosed) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    ASSERT_TRUE(boxes.empty());
    WaitForSysExBuffers(1);
    dev.SendShort(0, 0x403C90);  // closed: not seen
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    const monitor::Figures before = monitor::ReadFigures(0);
    OpenTap();
    EXPECT_TRUE(Take().empty());
    dev.SendShort(0, 0x003C90);
    const uint8_t gs[] = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    dev.SendSysEx(1, gs, sizeof gs);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 2, kWait));
    ASSERT_TRUE(dev.WaitForOutEvents(1, 1, kWait));
    SendLongMessage(0, gs, sizeof gs);
    // The worker writes its line once its send has returned, which may be after the
    // device recorded the message.
    // The note sent while closed was taken in before the opening (its callback writes
    // before its ring), but its send may still have been returning in the worker when
    // the tap opened: its way out may show, its way in never.
    const std::string straddling = "Kavo1 出力 ノートオン Ch.1 C4(60) ベロシティ 64";
    std::vector<TapEntry> got;
    auto counted = [&] {
        const std::vector<std::string> l = Lines(got);
        return std::count_if(l.begin(), l.end(), [&](const std::string& x) { return x != straddling; });
    };
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (counted() < 5 && std::chrono::steady_clock::now() < deadline) {
        const std::vector<TapEntry> more = Take();
        got.insert(got.end(), more.begin(), more.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<std::string> expected = {
        "Kavo1 出力 (パネル) SysEx 11 バイト GSリセット",
        "Kavo1 入力 ノートオフ Ch.1 C4(60) (ベロシティ0のノートオン)",
        "Kavo1 出力 ノートオフ Ch.1 C4(60) (ベロシティ0のノートオン)",
        "Kavo2 入力 SysEx 11 バイト GSリセット",
        "Kavo2 出力 SysEx 11 バイト GSリセット",
    };
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> lines = Lines(got);
    const size_t was = lines.size();
    lines.erase(std::remove(lines.begin(), lines.end(), straddling), lines.end());
    EXPECT_EQ(lines, expected);
    const monitor::Figures after = monitor::ReadFigures(0);
    EXPECT_EQ(after.in - before.in, 1u);
    EXPECT_EQ(after.out - before.out, 2u + (was - lines.size()));
    EXPECT_EQ(after.sysExOutBytes - before.sysExOutBytes, sizeof gs);
    CloseTap();
    dev.SendShort(0, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 4, kWait));
    EXPECT_EQ(monitor::ReadFigures(0).in, after.in);
    OpenTap();
    EXPECT_TRUE(Take().empty());
}

}  // namespace
