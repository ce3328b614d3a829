#pragma once
// MIDI messages as the monitor shows them: one line of text (code page 932) per
// message. Short messages come packed (status in bits 0-7); a packed message without a
// status byte is read with the running status of the stream it belongs to, which is
// why a decoder keeps state, one per stream (route and direction). Long messages come
// as the tap keeps them: their first bytes, their length and their last byte. Both
// builds; the window only lays the texts out.
#include <cstdint>
#include <string>

// "C-1" for key 0, "C4" for 60, "G9" for 127.
std::string NoteName(uint32_t key);

class MidiDecoder {
public:
    // Channels and program numbers are shown from 1, as on the instruments; pitch bend
    // as a signed value around its centre (-8192 .. +8191).
    std::string Short(uint32_t packed);
    // A system-exclusive message of `length` bytes, of which `head` holds the first
    // headCount (at most length) and `last` is the last. It also ends the running
    // status, as every system message but the real-time ones does.
    std::string Long(const uint8_t* head, uint32_t headCount, uint32_t length, uint8_t last);
    // What Short or Long would do to the running status, without the text: for the
    // messages of a batch too old to be kept.
    void Pass(uint32_t packed, bool isLong);

private:
    uint8_t running_ = 0;  // the running status, or 0 for none
};
