# The system file reader, the update messages and the transport dispatch.
orv_add_test(system_file_test SOURCES system_file_test.cpp
    LIBS orv_sysfile orv_test_support LABELS sysfile)
orv_add_test(update_messages_test SOURCES update_messages_test.cpp
    LIBS orv_update LABELS update)

# The transport dispatch, over recording doubles of every transport.
orv_add_test(transport_test SOURCES transport_test.cpp LIBS orv_update LABELS update)
orv_link_implementations(transport_test TRANSPORTS recording)
