#include "tray/tray_icon_model.h"

#include <string>

#include "settings/settings_model.h"
#include "platform/cp932.h"

const char* const kTipWaitingWord = "接続待ち: ";

namespace {

bool Waiting(const char* name) { return name && name[0] != '\0'; }

int CountConfiguredRoutes(const TrayIconInputs& in) {
    int count = 0;
    for (int r = 0; r < 2; ++r) {
        if (IsRouteConfigured(in.activeIn[r], in.activeOut[r], in.activeEnabled[r])) ++count;
    }
    return count;
}

}  // namespace

TrayIconChoice ChooseStartupTrayIcon(const TrayIconInputs& in, const char* stoppedWord) {
    TrayIconChoice choice;
    choice.picture = CountConfiguredRoutes(in) == 2 ? kIconStoppedTwo : kIconStoppedOne;
    Cp932CopyCut(choice.tip, stoppedWord ? stoppedWord : "", kTrayTipSize - 1);
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
    std::string full;
    if (in.engineRunning && (Waiting(in.waitingFor[0]) || Waiting(in.waitingFor[1]))) {
        full = kTipWaitingWord;
        for (int r = 0; r < 2; ++r) {
            if (!Waiting(in.waitingFor[r])) continue;
            if (r == 1 && Waiting(in.waitingFor[0])) full += ", ";
            full += in.waitingFor[r];
        }
        full += "\n";
    }
    full += word ? word : "";
    full += " - ";
    full += in.Name ? in.Name : "";
    Cp932CopyCut(choice.tip, full.c_str(), kTrayTipSize - 1);
    return choice;
}
