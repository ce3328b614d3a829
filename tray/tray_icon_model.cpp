#include "tray/tray_icon_model.h"

#include <cstring>

#include "app/settings_model.h"

namespace {

bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

int CountConfiguredRoutes(const TrayIconInputs& in) {
    int count = 0;
    for (int r = 0; r < 2; ++r) {
        if (IsRouteConfigured(in.activeIn[r], in.activeOut[r], in.activeEnabled[r])) ++count;
    }
    return count;
}

}  // namespace

int CopyCp932Cut(char* dest, int destSize, const char* text) {
    if (destSize <= 0) return 0;
    const int limit = destSize - 1;
    int n = 0;
    if (text) {
        while (n < limit && text[n] != '\0') {
            if (IsCp932LeadByte(static_cast<unsigned char>(text[n]))) {
                // A lead byte at the end of the text has no trail byte to lose: keep it
                // as the text had it. Otherwise both bytes go in, or neither.
                if (text[n + 1] == '\0') {
                    dest[n] = text[n];
                    ++n;
                    break;
                }
                if (n + 2 > limit) break;
                dest[n] = text[n];
                dest[n + 1] = text[n + 1];
                n += 2;
            } else {
                dest[n] = text[n];
                ++n;
            }
        }
    }
    dest[n] = '\0';
    return n;
}

TrayIconChoice ChooseStartupTrayIcon(const TrayIconInputs& in, const char* stoppedWord) {
    TrayIconChoice choice;
    choice.picture = CountConfiguredRoutes(in) == 2 ? kIconStoppedTwo : kIconStoppedOne;
    CopyCp932Cut(choice.tip, kTrayTipSize, stoppedWord);
    return choice;
}

TrayIconChoice ChooseTrayIcon(const TrayIconInputs& in, const char* runningWord, const char* stoppedWord) {
    const bool converting = in.VelConvertion == 1 || in.TransPose == 1;
    int count;
    if (in.engineRunning) {
        count = (in.inputOpen[0] ? 1 : 0) + (in.inputOpen[1] ? 1 : 0);
    } else {
        count = CountConfiguredRoutes(in);
    }
    TrayIconChoice choice;
    choice.picture = kIconStoppedOne + (count >= 2 ? 1 : 0);
    if (in.engineRunning) {
        choice.picture += 10;
        if (converting) choice.picture += 10;
    }

    // Built whole first and cut once, so the cut sees the bytes exactly as shown.
    const char* word = in.engineRunning ? runningWord : stoppedWord;
    const char* name = in.Name ? in.Name : "";
    char full[kTrayTipSize * 2 + kNameSize + 8];
    std::strncpy(full, word ? word : "", kTrayTipSize);
    full[kTrayTipSize] = '\0';
    std::strcat(full, " - ");
    std::strncat(full, name, sizeof(full) - std::strlen(full) - 1);
    CopyCp932Cut(choice.tip, kTrayTipSize, full);
    return choice;
}
