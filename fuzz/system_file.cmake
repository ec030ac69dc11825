# The system file reader, the block walk and the file analysis (fuzz group a).
orv_add_fuzzer(system_file SOURCES system_file_fuzz.cpp
               LIBS orv_sysfile_analysis orv_sysfile orv_logview orv_platform)
orv_link_implementations(fuzz_system_file LOG_SURFACE recording)
