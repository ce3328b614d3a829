#include "dialogs/control_panel_model.h"

#include <climits>
#include <cstdio>

#include "engine/engine.h"

namespace controlpanel {

namespace {

// General MIDI System On, GS Reset and XG System On, each sent whole.
const uint8_t kGmSystemOn[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
const uint8_t kGsReset[] = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const uint8_t kXgReset[] = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The position a track-bar notification stands for: the dragged thumb's position comes
// with the message; for every other code the control has already moved its thumb.
int PositionOf(int code, int carriedPos, int thumbPos) {
    return (code == kTbThumbPosition || code == kTbThumbTrack) ? carriedPos : thumbPos;
}

bool TakeNumber(const char* text, bool panelVisible, int lo, int hi, int* n) {
    // Setting the up-down positions while the panel is being shown rewrites the
    // fields; those changes are not the user's.
    if (!panelVisible || !text || !*text) return false;
    *n = TextToInt(text);
    return *n >= lo && *n <= hi;
}

}  // namespace

RouteList RouteListFor(bool input1Open, bool input2Open, int32_t port) {
    RouteList list;
    list.port = port;
    if (input1Open) list.data[list.count++] = 0;
    if (input2Open) list.data[list.count++] = 1;
    for (int i = 0; i < list.count; ++i) {
        if (list.data[i] == port) {
            list.selected = i;
            return list;
        }
    }
    if (list.count > 0) {
        list.selected = 0;
        list.port = list.data[0];
    }
    return list;
}

const char* RouteText(int data) { return data == 0 ? "Kavo1" : "Kavo2"; }

int ChannelListPosition(int32_t Channel) { return Channel >= 0 && Channel <= kChannelAll ? Channel : kChannelAll; }

std::string SensText(int32_t vSens) {
    char text[32];
    std::snprintf(text, sizeof text, "%1.2f", (200 - vSens) / 100.0);
    return text;
}

std::string OffsetText(int32_t vOffset) { return std::to_string(127 - static_cast<int64_t>(vOffset)); }

PanelView ShowPanel(KavoSettings& s, bool input1Open, bool input2Open) {
    PanelView v;
    v.routes = RouteListFor(input1Open, input2Open, s.Port);
    if (v.routes.port != s.Port) {
        s.Port = v.routes.port;
        transformRoute = s.Port.load();
    }
    v.channel = ChannelListPosition(s.Channel);
    v.velConversion = s.VelConvertion == 1;
    v.metronome = s.Metronome == 1;
    v.tempo = s.mTempo;
    v.sens = s.vSens;
    v.offset = s.vOffset;
    v.sensText = SensText(s.vSens);
    v.offsetText = OffsetText(s.vOffset);
    const int32_t meas = s.mMeas;
    for (int m = 0; m < 3; ++m) v.measure[m] = meas == m;
    v.transpose = s.TransPose == 1;
    v.octave = static_cast<int16_t>(s.tOctave & 0xFFFF) - 100;

    BuildVelocityTable(s.vSens, s.vOffset);
    if (s.Metronome == 1) {
        metronomeOn = 1;  // the bar goes on where it stopped
        WakeWorker();
    }
    AllSoundOff();
    return v;
}

void HidePanel() {
    metronomeOn = 0;
    AllSoundOff();
}

void ClosePanel() {
    metronomeOn = 0;
    AllSoundOff();
}

void NullMessage() { metronomeOn = 0; }

void SelectRoute(KavoSettings& s, int data) {
    s.Port = data;
    transformRoute = data;
    AllSoundOff();
}

void SelectChannel(KavoSettings& s, int position) {
    if (position < 0 || position > kChannelAll) return;
    s.Channel = position;
    transformChannel = position;
}

ScrollResult ScrollSens(KavoSettings& s, int code, int carriedPos, int thumbPos) {
    const int pos = Clamp(PositionOf(code, carriedPos, thumbPos), 0, kSensMax);
    int value = pos;
    ScrollResult r;
    if (value > kSensCentre - 10 && value < kSensCentre + 10) {
        value = kSensCentre;
        if (pos != kSensCentre || thumbPos != kSensCentre) r.moveThumbTo = kSensCentre;
    }
    s.vSens = value;
    // The curve in force follows what the panel shows.
    BuildVelocityTable(s.vSens, s.vOffset);
    r.text = SensText(value);
    return r;
}

ScrollResult ScrollOffset(KavoSettings& s, int code, int carriedPos, int thumbPos) {
    s.vOffset = Clamp(PositionOf(code, carriedPos, thumbPos), 0, kOffsetMax);
    BuildVelocityTable(s.vSens, s.vOffset);
    ScrollResult r;
    r.text = OffsetText(s.vOffset);
    return r;
}

void SetVelConversion(KavoSettings& s, bool checked, void (*updateTrayIcon)()) {
    s.VelConvertion = checked ? 1 : 0;
    velConvertOn = s.VelConvertion;
    if (updateTrayIcon) updateTrayIcon();
}

void SetTranspose(KavoSettings& s, bool checked, void (*updateTrayIcon)()) {
    s.TransPose = checked ? 1 : 0;
    transposeOn = s.TransPose;
    if (updateTrayIcon) updateTrayIcon();
    // Notes that went out transposed (or not) would get their note-offs on other keys.
    AllSoundOff();
}

int TextToInt(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + (*p - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) n = -n;
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

bool TakeOctaveText(KavoSettings& s, const char* text, bool panelVisible) {
    int n = 0;
    if (!TakeNumber(text, panelVisible, kOctaveMin, kOctaveMax, &n)) return false;
    s.tOctave = n + 100;
    transposeSemitones = static_cast<int16_t>(n * 12);
    if (transposeOn == 1) AllSoundOff();
    return true;
}

bool TakeTempoText(KavoSettings& s, const char* text, bool panelVisible) {
    int n = 0;
    if (!TakeNumber(text, panelVisible, kTempoMin, kTempoMax, &n)) return false;
    s.mTempo = n;
    return true;
}

void SetMetronome(KavoSettings& s, bool checked) {
    if (checked) {
        s.Metronome = 1;
        beatIndex = 0;
        metronomeOn = 1;
        WakeWorker();
    } else {
        s.Metronome = 0;
        metronomeOn = 0;
        AllSoundOff();
    }
}

void ChooseMeasure(KavoSettings& s, int measure) {
    s.mMeas = measure;
    beatIndex = 0;
}

void SilenceAllOutputs() { AllSoundOff(); }

void Tune() { PlayTuningTone(); }

ResetBytes BytesOf(Reset which) {
    switch (which) {
    case Reset::GmSystemOn:
        return {kGmSystemOn, sizeof kGmSystemOn};
    case Reset::GsReset:
        return {kGsReset, sizeof kGsReset};
    case Reset::XgReset:
        return {kXgReset, sizeof kXgReset};
    }
    return {nullptr, 0};
}

void SendReset(const KavoSettings& s, Reset which) {
    const ResetBytes b = BytesOf(which);
    // SendLongMessage is done with the bytes when it returns; they are constant anyway.
    SendLongMessage(s.Port, b.bytes, b.count);
}

}  // namespace controlpanel
