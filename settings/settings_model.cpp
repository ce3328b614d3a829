#include "settings/settings_model.h"

#include "settings/device_names.h"
#include "engine/engine.h"

namespace {
// The settings whose routes follow their devices' names at every start: those the
// engine is bound to (once the engine is bound elsewhere, these may be gone).
KavoSettings* followed = nullptr;
MissingDevices FollowBound(const HeldDevices& held) {
    if (followed && &EngineSettings() == followed) return FollowDevicesByName(*followed, held);
    return MissingDevices{};
}
}  // namespace

int16_t TransposeSemitonesFor(int32_t tOctave) {
    const int16_t octave = static_cast<int16_t>(static_cast<uint16_t>(tOctave & 0xFFFF));
    return static_cast<int16_t>((octave - 100) * 12);
}

void SeedEngine(KavoSettings& s) {
    BindEngineSettings(&s);
    followed = &s;
    SetBeforeOpenHook(&FollowBound);
    velConvertOn = s.VelConvertion ? 1 : 0;
    transposeOn = s.TransPose ? 1 : 0;
    metronomeOn = 0;  // the stored Metronome switch does not start it at start-up
    transformRoute = s.Port.load();
    transformChannel = s.Channel;  // a stored value outside 0..16 acts as "ALL"
    BuildVelocityTable(s.vSens, s.vOffset);
    transposeSemitones = TransposeSemitonesFor(s.tOctave);
    engineRunning = 0;
}
