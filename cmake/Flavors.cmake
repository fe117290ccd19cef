# Builds of one source in two flavors: "nt" (Windows 2000/XP) and "9x" (Windows 98/Me).
#
# A flavor's differences stand in files of their own beside the shared sources; the build picks them,
# and defines TV_FLAVOR_NT or TV_FLAVOR_9X for the flavor's targets. Each tree builds the flavors in
# TV_FLAVORS (host: nt; i386: nt and 9x).
#
#   tv_flavored(<KIND> NT <name> NINEX <name>
#               SOURCES <shared...> NT_SOURCES <...> NINEX_SOURCES <...>
#               LIBRARIES <shared...> NT_LIBRARIES <...> NINEX_LIBRARIES <...>
#               [DRIVER] [ENTRY <name>])
#
# KIND is LIBRARY or EXECUTABLE. A LIBRARIES entry may name another flavored target as
# "<nt name>|<9x name>", and gets the one of the same flavor. DRIVER compiles as a driver is compiled:
# no exceptions, no run-time type information. ENTRY gives the driver's DriverEntry a name of its own,
# since every driver of the emulated PC lives in one program; the source still says DriverEntry.
function(tv_flavored KIND)
    cmake_parse_arguments(PARSE_ARGV 1 F "DRIVER" "NT;NINEX;ENTRY"
        "SOURCES;NT_SOURCES;NINEX_SOURCES;LIBRARIES;NT_LIBRARIES;NINEX_LIBRARIES;INCLUDES")
    foreach(flavor IN LISTS TV_FLAVORS)
        if(flavor STREQUAL "nt")
            set(name ${F_NT})
            set(extra ${F_NT_SOURCES})
            set(extra_libs ${F_NT_LIBRARIES})
            set(define TV_FLAVOR_NT)
            set(pick 0)
        else()
            set(name ${F_NINEX})
            set(extra ${F_NINEX_SOURCES})
            set(extra_libs ${F_NINEX_LIBRARIES})
            set(define TV_FLAVOR_9X)
            set(pick 1)
        endif()
        if(NOT name)
            continue()
        endif()
        if(KIND STREQUAL "LIBRARY")
            add_library(${name} STATIC ${F_SOURCES} ${extra})
        elseif(KIND STREQUAL "EXECUTABLE")
            add_executable(${name} ${F_SOURCES} ${extra})
        else()
            message(FATAL_ERROR "tv_flavored: KIND must be LIBRARY or EXECUTABLE")
        endif()
        target_compile_definitions(${name} PUBLIC ${define})
        target_include_directories(${name} PUBLIC ${F_INCLUDES})
        if(F_DRIVER)
            target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
        endif()
        if(F_ENTRY)
            target_compile_definitions(${name} PRIVATE DriverEntry=${F_ENTRY})
        endif()
        set(libs "")
        foreach(lib IN LISTS F_LIBRARIES)
            if(lib MATCHES "\\|")
                string(REPLACE "|" ";" pair "${lib}")
                list(GET pair ${pick} lib)
            endif()
            list(APPEND libs ${lib})
        endforeach()
        target_link_libraries(${name} PUBLIC ${libs} ${extra_libs})
    endforeach()
endfunction()
