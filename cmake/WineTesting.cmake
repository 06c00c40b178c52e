# Test executables run through Wine when cross-compiled: every test shares one
# Wine prefix inside the build tree, prepared once per ctest run by the "wine"
# fixture (scripts/wine-prefix), so that no prefix is ever made in $HOME.

set(KG_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix of the test run")

if(CMAKE_CROSSCOMPILING)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
    # Source paths as the Windows programs see them (Wine maps / to Z:).
    set(KG_TEST_SOURCE_DIR "Z:${CMAKE_SOURCE_DIR}")

    add_test(NAME wine_prefix_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix start ${KG_WINEPREFIX})
    set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
    add_test(NAME wine_prefix_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix stop ${KG_WINEPREFIX})
    set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
else()
    set(KG_TEST_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
endif()

# kg_add_unit_test(<name> SOURCES <files...> LIBRARIES <targets...>)
# One GoogleTest executable, run as one ctest test.
function(kg_add_unit_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE KG_TEST_SOURCE_DIR="${KG_TEST_SOURCE_DIR}")
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
    if(CMAKE_CROSSCOMPILING)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
    endif()
endfunction()
