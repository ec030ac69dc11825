// The system's raw MIDI ports through alsa-lib on a machine without a sound card: the
// listing is empty and the transport says the port does not exist, instead of failing
// in some other way. Where a card is present the results depend on it, so these skip.
#include "midi/midi_rawmidi.h"
#include "midi/midi_transport.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

bool NoSoundCard() {
    return access("/dev/snd", F_OK) != 0;
}

TEST(RawMidiAlsaTest, NoSoundCardListsNoPortAndOpensNone) {
    if (!NoSoundCard()) {
        GTEST_SKIP() << "this machine has sound devices";
    }
    RawMidiPortInfo ports[4];
    EXPECT_EQ(0, RawMidiListPorts(ports, 4));
    EXPECT_EQ(0, RawMidiListPorts(nullptr, 0));
    char errorText[PATH_SIZE] = "";
    EXPECT_EQ(0, MidiOpen("hw:0,0", "hw:0,0", errorText, 0));
    EXPECT_EQ(std::string("Midi out port is not exist : hw:0,0"), errorText);
}

} // namespace
