#pragma once
// What the control panel decides, kept apart from the window code that moves it into
// real controls, so that both builds test it: the route list for the open inputs and
// the Port it leads to, each track bar's new value and shown text, the text-to-integer
// rule of the tempo and octave fields, and what every control does to the settings,
// to the engine's copies of them and to the outputs (the sweep of All Sound Off
// included). Every control acts at once; nothing is saved here (shut-down saves).
#include <cstdint>
#include <string>

#include "settings/settings_model.h"

namespace controlpanel {

// Track-bar notification codes (the low word of WM_VSCROLL), with the system's values.
constexpr int kTbLineUp = 0;
constexpr int kTbLineDown = 1;
constexpr int kTbPageUp = 2;
constexpr int kTbPageDown = 3;
constexpr int kTbThumbPosition = 4;
constexpr int kTbThumbTrack = 5;
constexpr int kTbTop = 6;
constexpr int kTbBottom = 7;
constexpr int kTbEndTrack = 8;

// The controls' ranges. SENS. runs 0..200 with one tick at its centre 100, which
// catches the thumb; OFFSET 0..127 with a tick every 16. Page up and down move by the
// page size.
constexpr int kSensMax = 200;
constexpr int kSensCentre = 100;
constexpr int kSensPage = 20;
constexpr int kOffsetMax = 127;
constexpr int kOffsetPage = 16;
constexpr int kOffsetTicks = 16;
constexpr int kTempoMin = 30;
constexpr int kTempoMax = 250;
constexpr int kOctaveMin = -5;
constexpr int kOctaveMax = 5;

// The route list of a showing: "Kavo1" (item data 0) if route 1's input is open, then
// "Kavo2" (1) if route 2's is; the item whose data equals Port is selected, else the
// first item, and Port moves to it. An empty list selects nothing and keeps Port.
struct RouteList {
    int count = 0;
    int data[2] = {0, 0};
    int selected = -1;
    int32_t port = 0;  // Port after the showing
};
RouteList RouteListFor(bool input1Open, bool input2Open, int32_t port);
const char* RouteText(int data);  // "Kavo1" / "Kavo2"

// The channel list holds "1" to "16" and then "ALL": position c is Channel c. A stored
// Channel outside 0..16 shows as "ALL" (and the engine acts on it as "ALL").
constexpr int kChannelAll = 16;
int ChannelListPosition(int32_t Channel);

// The value texts under the track bars: (200 - vSens) / 100 as "%1.2f" (2.00 at the
// top, 1.00 at the centre, 0.00 at the bottom) and 127 - vOffset as "%d".
std::string SensText(int32_t vSens);
std::string OffsetText(int32_t vOffset);

// What a showing puts into the controls.
struct PanelView {
    RouteList routes;
    int channel = kChannelAll;  // the channel list's selection
    bool velConversion = false;
    bool metronome = false;
    int tempo = 120;
    int sens = 100;
    int offset = 127;
    std::string sensText;
    std::string offsetText;
    bool measure[3] = {false, false, false};  // 2/2, 3/4, 4/4
    bool transpose = false;
    int octave = 0;
};

// Showing the panel: Port and transformRoute follow the route list, the velocity table
// is rebuilt, the metronome resumes when the Metronome switch is on (the bar goes on
// where it was), and the sweep runs. Returns what the controls show.
PanelView ShowPanel(KavoSettings& s, bool input1Open, bool input2Open);
// Hidden through a show request (not by ending the dialog): the metronome stops and
// the sweep runs.
void HidePanel();
// "閉じる": the metronome stops and the sweep runs once; the dialog then ends.
void ClosePanel();
// A WM_NULL for the panel, which is what ending the dialog (Esc, the close box, and
// "閉じる" too) posts: the metronome stops, nothing is sent.
void NullMessage();

// A route picked in the list (its item data): Port and transformRoute, then the sweep,
// so that no note sounds on keys the other route's transpose will not release.
void SelectRoute(KavoSettings& s, int data);
// A channel picked in the list (its position, 0..16): Channel and transformChannel. No
// sweep: the notes held go on ending where they sounded (the held-note table).
void SelectChannel(KavoSettings& s, int position);

// After a track-bar notification: the value follows the thumb (the position the
// message carries while dragging, the control's own position for every other code,
// which has already moved by the page size or the key), so thumb, shown text and the
// curve in force agree. SENS. catches a position strictly between 90 and 110 at 100,
// thumb included. The setting takes the value, the velocity table is rebuilt.
struct ScrollResult {
    int moveThumbTo = -1;  // where the window moves the thumb; -1: leave it
    std::string text;      // the value text under the track bar
};
ScrollResult ScrollSens(KavoSettings& s, int code, int carriedPos, int thumbPos);
ScrollResult ScrollOffset(KavoSettings& s, int code, int carriedPos, int thumbPos);

// The velocity CONVERSION switch: VelConvertion and velConvertOn, then the icon. No
// sweep: a velocity change leaves no note hanging.
void SetVelConversion(KavoSettings& s, bool checked, void (*updateTrayIcon)());
// The transpose CONVERSION switch: TransPose and transposeOn, the icon, the sweep.
void SetTranspose(KavoSettings& s, bool checked, void (*updateTrayIcon)());

// The standard text-to-integer rule: leading blanks, an optional sign, decimal digits;
// it stops at the first other character; no digits give 0. Out-of-range numbers
// saturate, so no text can wrap into the accepted ranges.
int TextToInt(const char* text);
// The octave field's text: taken while the panel is visible and the text is not
// empty, when it reads as -5..5: tOctave and transposeSemitones, and the sweep while
// transposing. True when taken.
bool TakeOctaveText(KavoSettings& s, const char* text, bool panelVisible);
// The tempo field's text: taken the same way when it reads as 30..250 (mTempo).
bool TakeTempoText(KavoSettings& s, const char* text, bool panelVisible);

// START: on restarts the bar at its first beat; off stops the metronome with a sweep.
void SetMetronome(KavoSettings& s, bool checked);
// A measure button (0 = 2/2, 1 = 3/4, 2 = 4/4), also the one already chosen:
// mMeas, and the bar restarts.
void ChooseMeasure(KavoSettings& s, int measure);

// The buttons that talk to the sound modules. The All Notes Off button and the tuning
// tone go to every open output; the resets only to the output of the route Port names.
// The All Notes Off button (IDC_ALL_NOTES_OFF) sends All Sound Off (controller 120),
// the sweep, not All Notes Off (controller 123): everything sounding stops at once,
// release tails included.
void SilenceAllOutputs();
void Tune();  // the tone, the box "ﾁｭｰﾆﾝｸﾞが終了したら…", then the sweep
enum class Reset { GmSystemOn, GsReset, XgReset };
struct ResetBytes {
    const uint8_t* bytes;
    uint32_t count;
};
ResetBytes BytesOf(Reset which);
void SendReset(const KavoSettings& s, Reset which);

}  // namespace controlpanel
