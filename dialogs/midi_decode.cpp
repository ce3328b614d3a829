#include "dialogs/midi_decode.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

const char* ControllerName(uint32_t number) {
    switch (number) {
    case 0: return "バンクセレクト";
    case 1: return "モジュレーション";
    case 6: return "データエントリー";
    case 7: return "ボリューム";
    case 10: return "パン";
    case 11: return "エクスプレッション";
    case 32: return "バンクセレクト LSB";
    case 64: return "サステイン";
    case 91: return "リバーブ";
    case 93: return "コーラス";
    case 120: return "オールサウンドオフ";
    case 121: return "リセットオールコントローラー";
    case 122: return "ローカルコントロール";
    case 123: return "オールノートオフ";
    case 124: return "オムニオフ";
    case 125: return "オムニオン";
    case 126: return "モノモード";
    case 127: return "ポリモード";
    default: return nullptr;
    }
}

std::string Note(uint32_t key) { return NoteName(key) + Format("(%u)", static_cast<unsigned>(key)); }

std::string ChannelVoice(uint8_t status, uint32_t d1, uint32_t d2) {
    const unsigned ch = (status & 0x0F) + 1u;
    switch (status & 0xF0) {
    case 0x80:
        return Format("ノートオフ Ch.%u ", ch) + Note(d1) + Format(" ベロシティ %u", d2);
    case 0x90:
        if (d2 == 0) return Format("ノートオフ Ch.%u ", ch) + Note(d1) + " (ベロシティ0のノートオン)";
        return Format("ノートオン Ch.%u ", ch) + Note(d1) + Format(" ベロシティ %u", d2);
    case 0xA0:
        return Format("ポリフォニックプレッシャー Ch.%u ", ch) + Note(d1) + Format(" 値 %u", d2);
    case 0xB0: {
        const char* name = ControllerName(d1);
        return Format("コントロールチェンジ Ch.%u CC%u%s%s 値 %u", ch, d1, name ? " " : "", name ? name : "", d2);
    }
    case 0xC0:
        return Format("プログラムチェンジ Ch.%u %u", ch, d1 + 1);
    case 0xD0:
        return Format("チャンネルプレッシャー Ch.%u 値 %u", ch, d1);
    default:
        return Format("ピッチベンド Ch.%u %+d", ch, static_cast<int>((d2 << 7) | d1) - 8192);
    }
}

std::string System(uint8_t status, uint32_t d1, uint32_t d2) {
    switch (status) {
    case 0xF0: return "SysEx開始 (F0)";
    case 0xF1: return Format("MTCクォーターフレーム 種類 %u 値 %u", d1 >> 4, d1 & 0x0F);
    case 0xF2: return Format("ソングポジション %u", (d2 << 7) | d1);
    case 0xF3: return Format("ソングセレクト %u", d1);
    case 0xF6: return "チューンリクエスト";
    case 0xF7: return "SysEx終了 (F7)";
    case 0xF8: return "タイミングクロック";
    case 0xFA: return "スタート";
    case 0xFB: return "コンティニュー";
    case 0xFC: return "ストップ";
    case 0xFE: return "アクティブセンシング";
    case 0xFF: return "システムリセット";
    default: return Format("未定義 %02X", status);
    }
}

// The messages the panel sends, and their kin from the instruments, by their bytes;
// 0x100 matches any device number.
struct Known {
    const char* name;
    uint16_t bytes[11];
    uint32_t count;
};
constexpr uint16_t kAny = 0x100;
const Known kKnown[] = {
    {"GMシステムオン", {0xF0, 0x7E, kAny, 0x09, 0x01, 0xF7}, 6},
    {"GMシステムオフ", {0xF0, 0x7E, kAny, 0x09, 0x02, 0xF7}, 6},
    {"GM2システムオン", {0xF0, 0x7E, kAny, 0x09, 0x03, 0xF7}, 6},
    {"GSリセット", {0xF0, 0x41, kAny, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, 11},
    {"XGリセット", {0xF0, 0x43, kAny, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, 9},
};

bool Matches(const Known& k, const uint8_t* head, uint32_t headCount, uint32_t length) {
    if (length != k.count || headCount < k.count) return false;
    for (uint32_t i = 0; i < k.count; ++i) {
        if (k.bytes[i] == kAny) {
            if (head[i] > 0x7F) return false;
        } else if (head[i] != k.bytes[i]) {
            return false;
        }
    }
    return true;
}

// What a message that is no known one is, by its identifier.
std::string Kind(const uint8_t* head, uint32_t headCount) {
    if (headCount < 2) return "";
    const uint8_t id = head[1];
    auto sub = [&](const char* name) {
        return headCount >= 5 ? Format("%s (サブID %02X %02X)", name, head[3], head[4]) : std::string(name);
    };
    if (id == 0x7E) return sub("ユニバーサル・ノンリアルタイム");
    if (id == 0x7F) return sub("ユニバーサル・リアルタイム");
    if (id == 0x7D) return "非営利";
    if (id == 0x00) {
        if (headCount < 4) return "メーカーID 00 (不完全)";
        return Format("メーカーID 00 %02X %02X", head[2], head[3]);
    }
    if (id > 0x7F) return "";
    std::string text = Format("メーカーID %02X", id);
    // A GS data set (DT1): where it writes says what it is.
    if (id == 0x41 && headCount >= 8 && head[3] == 0x42 && head[4] == 0x12)
        text += Format(" GSデータセット %02X %02X %02X", head[5], head[6], head[7]);
    return text;
}

}  // namespace

std::string NoteName(uint32_t key) {
    static const char* const kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    key &= 0x7F;
    return Format("%s%d", kNames[key % 12], static_cast<int>(key / 12) - 1);
}

std::string MidiDecoder::Short(uint32_t packed) {
    uint8_t status = packed & 0xFF;
    uint32_t d1 = (packed >> 8) & 0x7F;
    uint32_t d2 = (packed >> 16) & 0x7F;
    if (status < 0x80) {
        if (running_ == 0) return Format("データ %02X (ステータスなし)", status);
        // Running status: the packed bytes are the data bytes.
        d2 = d1;
        d1 = status;
        status = running_;
    }
    if (status < 0xF0) {
        running_ = status;
        return ChannelVoice(status, d1, d2);
    }
    if (status < 0xF8) running_ = 0;  // system common ends it, real-time leaves it
    return System(status, d1, d2);
}

void MidiDecoder::Pass(uint32_t packed, bool isLong) {
    const uint8_t status = packed & 0xFF;
    if (isLong || (status >= 0xF0 && status < 0xF8)) running_ = 0;
    else if (status >= 0x80 && status < 0xF0) running_ = status;
}

std::string MidiDecoder::Long(const uint8_t* head, uint32_t headCount, uint32_t length, uint8_t last) {
    running_ = 0;
    if (headCount > length) headCount = length;
    std::string text = Format("SysEx %u バイト", static_cast<unsigned>(length));
    if (headCount == 0 || head[0] != 0xF0) return text + " 先頭のF0なし";
    for (const Known& k : kKnown)
        if (Matches(k, head, headCount, length)) return text + " " + k.name;
    const std::string kind = Kind(head, headCount);
    if (!kind.empty()) text += " " + kind;
    if (last != 0xF7) text += " 末尾のF7なし";
    return text;
}
