# Which implementation of each interface the product is written against an executable
# takes: said once per executable, in one call.
#
#   orv_link_implementations(<target>
#       [TRANSPORTS instrument|recording]
#       [SERIAL product|absent] [MIDI product|absent]
#       [USB_BULK product|absent] [KERNEL_MIDI product|absent]
#       [USB_BULK_DRIVER win32|libusb|simulated] [KERNEL_MIDI_DRIVER win32|simulated]
#       [RAW_MIDI alsa|simulated]
#       [SETTINGS_STORE registry|memory] [LOG_SURFACE gdi|recording])
#
# The interfaces and what each value links:
#   SERIAL, MIDI, USB_BULK, KERNEL_MIDI   one transport (transports/*.h, midi/midi_transport.h)
#       product    the transport itself (orv_serial, orv_midi, orv_usb_bulk, orv_kernel_midi)
#       absent     the program carries no such transport (transports/absent_<transport>.cpp):
#                  it refuses to open and every send and receive fails. The transport
#                  layer names all four, so a program that has some takes this for the
#                  others
#   TRANSPORTS   all four transports at once, in place of the four keys above
#       instrument send and receive against the in-process virtual instrument, opening and
#                  closing recorded (tests/doubles/sim_transport.cpp, transport_open_doubles.cpp)
#       recording  every send, receive and abort recorded (tests/doubles/recording_transports.cpp)
#   USB_BULK_DRIVER      transports/usb_bulk_driver.h
#       win32      the maker's driver (orv_usb_bulk_driver_win32)
#       libusb     off Windows, the same devices through libusb-1.0 over usbfs
#                  (orv_usb_bulk_driver_libusb)
#       simulated  devices in memory, the instrument behind their pipes (tests/doubles)
#   KERNEL_MIDI_DRIVER   transports/kernel_midi_driver.h
#       win32      the maker's driver (orv_kernel_midi_driver_win32)
#       simulated  the driver in-process, the instrument behind its pipes (tests/doubles)
#   RAW_MIDI             midi/midi_rawmidi.h, the ports the MIDI transport uses off Windows;
#                        MIDI product needs it there
#       alsa       the system's raw MIDI ports through alsa-lib (orv_rawmidi_alsa)
#       simulated  a pipe pair with the instrument at its far end, a listing of the
#                  test's (tests/doubles/rawmidi_instrument.cpp)
#   SETTINGS_STORE       settings/settings_store.h
#       registry   the current user's registry key (orv_settings_registry)
#       memory     one key in memory, with stand-ins for the desktop and the current
#                  directory (tests/doubles/settings_store_memory.cpp)
#   LOG_SURFACE          logview/log_surface.h
#       gdi        off-screen GDI bitmaps (orv_logsurface_gdi)
#       recording  characters and calls recorded (tests/doubles/log_surface_record.cpp)
# An interface left out is not linked: the executable never reaches it.
#
# Every chosen implementation goes into the executable whole, as object files, never left
# to be picked from an archive: which one serves a call then never depends on the order of
# the link line, and two implementations of one interface fail the link instead of one
# quietly winning.
function(orv_link_implementations target)
    set(keys TRANSPORTS SERIAL MIDI USB_BULK KERNEL_MIDI USB_BULK_DRIVER KERNEL_MIDI_DRIVER
             RAW_MIDI SETTINGS_STORE LOG_SURFACE)
    cmake_parse_arguments(PARSE_ARGV 1 I "" "${keys}" "")
    if(I_UNPARSED_ARGUMENTS)
        list(JOIN I_UNPARSED_ARGUMENTS " " unknown)
        message(FATAL_ERROR "orv_link_implementations(${target}): unknown ${unknown}")
    endif()

    set(libraries) # product libraries, taken whole
    set(doubles)   # sources of orv_doubles whose objects are taken

    # key value library double: one row per choice.
    set(choices
        SERIAL product orv_serial -
        SERIAL absent orv_absent_serial -
        MIDI product orv_midi -
        MIDI absent orv_absent_midi -
        USB_BULK product orv_usb_bulk -
        USB_BULK absent orv_absent_usb_bulk -
        KERNEL_MIDI product orv_kernel_midi -
        KERNEL_MIDI absent orv_absent_kernel_midi -
        USB_BULK_DRIVER win32 orv_usb_bulk_driver_win32 -
        USB_BULK_DRIVER libusb orv_usb_bulk_driver_libusb -
        USB_BULK_DRIVER simulated - usb_bulk_driver_sim
        KERNEL_MIDI_DRIVER win32 orv_kernel_midi_driver_win32 -
        KERNEL_MIDI_DRIVER simulated - kernel_midi_driver_sim
        RAW_MIDI alsa orv_rawmidi_alsa -
        RAW_MIDI simulated - rawmidi_instrument
        SETTINGS_STORE registry orv_settings_registry -
        SETTINGS_STORE memory - settings_store_memory
        LOG_SURFACE gdi orv_logsurface_gdi -
        LOG_SURFACE recording - log_surface_record)

    if(DEFINED I_TRANSPORTS)
        foreach(key SERIAL MIDI USB_BULK KERNEL_MIDI)
            if(DEFINED I_${key})
                message(FATAL_ERROR "orv_link_implementations(${target}): TRANSPORTS "
                        "${I_TRANSPORTS} already gives ${key}")
            endif()
        endforeach()
        if(I_TRANSPORTS STREQUAL "instrument")
            list(APPEND doubles sim_transport transport_open_doubles)
        elseif(I_TRANSPORTS STREQUAL "recording")
            list(APPEND doubles recording_transports transport_open_doubles)
        else()
            message(FATAL_ERROR "orv_link_implementations(${target}): TRANSPORTS "
                    "${I_TRANSPORTS}: instrument or recording")
        endif()
    endif()

    foreach(key IN LISTS keys)
        if(key STREQUAL "TRANSPORTS" OR NOT DEFINED I_${key})
            continue()
        endif()
        set(found FALSE)
        set(rows ${choices})
        while(rows)
            list(POP_FRONT rows row_key row_value row_library row_double)
            if(row_key STREQUAL key AND row_value STREQUAL I_${key})
                set(found TRUE)
                if(NOT row_library STREQUAL "-")
                    list(APPEND libraries ${row_library})
                else()
                    list(APPEND doubles ${row_double})
                endif()
            endif()
        endwhile()
        if(NOT found)
            message(FATAL_ERROR "orv_link_implementations(${target}): ${key} ${I_${key}} "
                    "is no implementation")
        endif()
    endforeach()

    # A transport over its driver needs the driver chosen too.
    foreach(transport USB_BULK KERNEL_MIDI)
        if("${I_${transport}}" STREQUAL "product" AND NOT DEFINED I_${transport}_DRIVER)
            message(FATAL_ERROR "orv_link_implementations(${target}): ${transport} product "
                    "needs ${transport}_DRIVER")
        endif()
    endforeach()
    # Off Windows the MIDI transport runs over raw MIDI ports; on Windows over the MIDI
    # service, and there are no raw ports to choose.
    if(NOT WIN32 AND "${I_MIDI}" STREQUAL "product" AND NOT DEFINED I_RAW_MIDI)
        message(FATAL_ERROR "orv_link_implementations(${target}): MIDI product needs RAW_MIDI")
    endif()
    if(WIN32 AND DEFINED I_RAW_MIDI)
        message(FATAL_ERROR "orv_link_implementations(${target}): RAW_MIDI is for builds "
                "off Windows")
    endif()

    foreach(library IN LISTS libraries)
        if(NOT TARGET ${library})
            message(FATAL_ERROR "orv_link_implementations(${target}): ${library} is not "
                    "part of this build")
        endif()
        get_target_property(type ${library} TYPE)
        if(NOT type STREQUAL "OBJECT_LIBRARY")
            target_sources(${target} PRIVATE $<TARGET_OBJECTS:${library}>)
        endif()
        # An object library brings its objects; a static one, what its objects need.
        target_link_libraries(${target} PRIVATE ${library})
    endforeach()

    if(doubles)
        foreach(double IN LISTS doubles)
            target_sources(${target} PRIVATE
                "$<FILTER:$<TARGET_OBJECTS:orv_doubles>,INCLUDE,/${double}\\.cpp\\.o>")
        endforeach()
        get_target_property(needs orv_doubles INTERFACE_LINK_LIBRARIES)
        if(needs)
            target_link_libraries(${target} PRIVATE ${needs})
        endif()
        add_dependencies(${target} orv_doubles)
    endif()
endfunction()
