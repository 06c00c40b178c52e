# The test programs run the product's code built with the checks that need no
# run-time library under Wine: undefined behaviour traps (an illegal
# instruction, so a fault ends the test that met it), the C++ library's
# assertions (bounds of operator[], front() of an empty container, ...) and
# stack protection. The shipped programs are built without them.
#
# kg_checked_copies(<library>...) makes <library>_checked of each: the same
# sources, folders, definitions, links (to the other checked copies) and
# targets built first, with the checks. kg_checked(<target>) adds the checks to a test program's
# own sources and links what they need.

if(MSVC)
    set(KG_CHECK_FLAGS "")
    set(KG_CHECK_LINK_FLAGS "")
else()
    # The trap form needs no sanitizer library, which the mingw target lacks.
    set(KG_CHECK_FLAGS -fsanitize=undefined -fsanitize-undefined-trap-on-error
                       -D_GLIBCXX_ASSERTIONS -fstack-protector-strong)
    # The stack protector's library (libssp).
    set(KG_CHECK_LINK_FLAGS -fstack-protector-strong)
endif()

function(kg_checked target)
    target_compile_options(${target} PRIVATE ${KG_CHECK_FLAGS})
    target_link_options(${target} PRIVATE ${KG_CHECK_LINK_FLAGS})
endfunction()

function(kg_checked_copies)
    set(copied ${ARGN})
    foreach(library IN LISTS copied)
        set(copy ${library}_checked)
        if(MSVC)
            add_library(${copy} INTERFACE)
            target_link_libraries(${copy} INTERFACE ${library})
            continue()
        endif()
        get_target_property(folder ${library} SOURCE_DIR)
        get_target_property(sources ${library} SOURCES)
        set(absolute "")
        foreach(source IN LISTS sources)
            get_filename_component(source ${source} ABSOLUTE BASE_DIR ${folder})
            list(APPEND absolute ${source})
        endforeach()
        add_library(${copy} STATIC ${absolute})
        foreach(property INCLUDE_DIRECTORIES INTERFACE_INCLUDE_DIRECTORIES COMPILE_DEFINITIONS
                         INTERFACE_COMPILE_DEFINITIONS COMPILE_OPTIONS INTERFACE_COMPILE_OPTIONS)
            get_target_property(value ${library} ${property})
            if(value)
                set_property(TARGET ${copy} PROPERTY ${property} ${value})
            endif()
        endforeach()
        foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
            get_target_property(links ${library} ${property})
            if(NOT links)
                continue()
            endif()
            set(mapped "")
            foreach(link IN LISTS links)
                if(link IN_LIST copied)
                    list(APPEND mapped ${link}_checked)
                else()
                    list(APPEND mapped ${link})
                endif()
            endforeach()
            set_property(TARGET ${copy} PROPERTY ${property} ${mapped})
        endforeach()
        # What must be built first (generated headers).
        get_target_property(dependencies ${library} MANUALLY_ADDED_DEPENDENCIES)
        if(dependencies)
            add_dependencies(${copy} ${dependencies})
        endif()
        target_compile_options(${copy} PRIVATE ${KG_CHECK_FLAGS})
        target_link_options(${copy} INTERFACE ${KG_CHECK_LINK_FLAGS})
    endforeach()
endfunction()
