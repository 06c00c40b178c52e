# kg_wide_entry_point(<target>): the executable's entry is wmain (UTF-16
# command line). Visual C++ picks wmain by itself; mingw needs -municode.
function(kg_wide_entry_point target)
    if(MINGW)
        target_link_options(${target} PRIVATE -municode)
    endif()
endfunction()
