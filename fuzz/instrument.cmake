# The rehearsal instrument's message parser and stream framing (fuzz group a).
orv_add_fuzzer(instrument SOURCES instrument_fuzz.cpp LIBS orv_sim orv_platform)
