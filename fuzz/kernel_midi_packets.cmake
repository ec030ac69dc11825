# The kernel MIDI driver's event packet codec (fuzz group a).
orv_add_fuzzer(kernel_midi_packets SOURCES kernel_midi_packets_fuzz.cpp
               LIBS orv_kernel_midi orv_platform)
