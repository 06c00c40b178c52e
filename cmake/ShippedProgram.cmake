# kg_shipped_program(<target>): a program that ships (the package installs
# it). It lands in bin/ (KG_SHIPPED_DIR) and, with mingw, is stripped after
# each link: its symbols and debug sections go to symbols/<program>.debug
# beside the build, and the program keeps a debug link to that file and its
# build id (a CodeView record in its debug directory), by which a crash
# report is matched to the symbols of its build. Visual C++ builds keep
# their symbols in PDB files of their own anyway.
set(KG_SYMBOLS_DIR ${CMAKE_BINARY_DIR}/symbols)

function(kg_shipped_program target)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KG_SHIPPED_DIR})
    if(MINGW)
        target_link_options(${target} PRIVATE -Wl,--build-id)
        set(symbols ${KG_SYMBOLS_DIR}/$<TARGET_FILE_NAME:${target}>.debug)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E make_directory ${KG_SYMBOLS_DIR}
            COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${symbols}
            COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${symbols}
                    $<TARGET_FILE:${target}>
            COMMENT "Stripping ${target}; its symbols go to symbols/"
            VERBATIM)
    endif()
endfunction()
