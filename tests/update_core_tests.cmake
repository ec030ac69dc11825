# The system file reader, the update messages and the transport dispatch.
orv_add_test(system_file_test SOURCES system_file_test.cpp
    LIBS orv_sysfile orv_test_support LABELS sysfile)
orv_add_test(update_messages_test SOURCES update_messages_test.cpp
    LIBS orv_update LABELS update)

# Recording doubles of every transport's send, receive and abort operations.
add_library(orv_recording_transports STATIC doubles/recording_transports.cpp)
orv_add_test(transport_test SOURCES transport_test.cpp
    LIBS orv_update orv_recording_transports LABELS update)
