orv_add_test(platform_test SOURCES platform_file_test.cpp
    LIBS orv_platform orv_test_support LABELS platform)
