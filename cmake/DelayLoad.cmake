# System libraries that are not KnownDLLs. Windows resolves a program's static
# imports from the program's own folder first, before any of its code runs;
# the worker copy runs from the cache folder, so the product executable
# (KG_DELAY_LOAD set on it) imports none of these statically: it delay-loads
# them, and host/delay_load.cpp binds each from the system folder at its first
# call. Every other executable (tests, tools) links them as usual.
#
# kg_system_library(<target> <scope> <name>...) links the libraries that way.
set(KG_DELAY_LOADED_LIBRARIES winhttp version wintrust crypt32)

foreach(name IN LISTS KG_DELAY_LOADED_LIBRARIES)
    add_library(kg_system_${name} INTERFACE)
    set(delay_load "$<BOOL:$<TARGET_PROPERTY:KG_DELAY_LOAD>>")
    if(MINGW)
        find_library(KG_IMPORT_LIB_${name} NAMES ${name} REQUIRED)
        find_program(KG_MINGW_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
        find_program(KG_MINGW_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
        set(delay_lib ${CMAKE_BINARY_DIR}/delayload/lib${name}_delay.a)
        add_custom_command(OUTPUT ${delay_lib}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delayload
            COMMAND ${CMAKE_SOURCE_DIR}/cmake/make-delay-import-lib ${KG_MINGW_NM} ${KG_MINGW_DLLTOOL}
                    ${KG_IMPORT_LIB_${name}} ${name}.dll ${delay_lib}
            DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-delay-import-lib
            VERBATIM)
        add_custom_target(kg_delay_lib_${name} DEPENDS ${delay_lib})
        add_dependencies(kg_system_${name} kg_delay_lib_${name})
        target_link_libraries(kg_system_${name} INTERFACE "$<IF:${delay_load},${delay_lib},${name}>")
    else()
        target_link_libraries(kg_system_${name} INTERFACE ${name} "$<${delay_load}:delayimp>")
        target_link_options(kg_system_${name} INTERFACE "$<${delay_load}:/DELAYLOAD:${name}.dll>")
    endif()
endforeach()

function(kg_system_library target scope)
    foreach(name IN LISTS ARGN)
        target_link_libraries(${target} ${scope} kg_system_${name})
    endforeach()
endfunction()
