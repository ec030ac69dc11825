# The reply check and the 7-bit codecs of the update messages (fuzz group a).
orv_add_fuzzer(replies SOURCES replies_fuzz.cpp LIBS orv_update orv_sysfile orv_platform)
