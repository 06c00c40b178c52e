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

# The local HTTPS update server of the run, with a fresh test CA trusted in
# the run's Wine prefix only. scripts/test runs ctest in its own network
# namespace, so the server's ports are the run's own.
set(KG_TEST_WORK_DIR "${CMAKE_BINARY_DIR}/test-work")
add_test(NAME test_server_start
         COMMAND ${CMAKE_SOURCE_DIR}/tools/test-server start ${KG_TEST_WORK_DIR} ${KG_WINEPREFIX})
set_tests_properties(test_server_start PROPERTIES FIXTURES_SETUP https TIMEOUT 120)
add_test(NAME test_server_stop COMMAND ${CMAKE_SOURCE_DIR}/tools/test-server stop ${KG_TEST_WORK_DIR})
set_tests_properties(test_server_stop PROPERTIES FIXTURES_CLEANUP https TIMEOUT 60)
# Signed installers and a signed copy of the service, made with code-signing
# certificates of the run's test CA, served from /signed/.
add_test(NAME signed_fixtures
         COMMAND ${CMAKE_SOURCE_DIR}/tools/make-signed-fixtures ${KG_TEST_WORK_DIR}/pki
                 ${KG_TEST_WORK_DIR}/www/signed $<TARGET_FILE:test_installer> $<TARGET_FILE:kgclient_update>)
set_tests_properties(signed_fixtures PROPERTIES FIXTURES_SETUP signed FIXTURES_REQUIRED https TIMEOUT 120)
# A 1 MiB volume for the full-disk tests (tools/small-volume).
add_test(NAME small_volume_mount
         COMMAND ${CMAKE_SOURCE_DIR}/tools/small-volume mount ${KG_TEST_WORK_DIR}/small-volume)
set_tests_properties(small_volume_mount PROPERTIES FIXTURES_SETUP small_volume TIMEOUT 30)
add_test(NAME small_volume_unmount
         COMMAND ${CMAKE_SOURCE_DIR}/tools/small-volume unmount ${KG_TEST_WORK_DIR}/small-volume)
set_tests_properties(small_volume_unmount PROPERTIES FIXTURES_CLEANUP small_volume TIMEOUT 30)
if(CMAKE_CROSSCOMPILING)
    set_tests_properties(test_server_start PROPERTIES FIXTURES_REQUIRED wine)
    set(KG_TEST_WORK_DIR_NATIVE "Z:${KG_TEST_WORK_DIR}")
    set(KG_SHIPPED_DIR_NATIVE "Z:${KG_SHIPPED_DIR}")
else()
    set(KG_TEST_WORK_DIR_NATIVE "${KG_TEST_WORK_DIR}")
    set(KG_SHIPPED_DIR_NATIVE "${KG_SHIPPED_DIR}")
endif()

# kg_add_unit_test(<name> [NETWORK] [MANIFEST] SOURCES <files...> LIBRARIES <targets...>)
# One GoogleTest executable, run as one ctest test. NETWORK: it talks to the
# local HTTPS update server. MANIFEST: it carries the product's application
# manifest (and so sees the real Windows version).
function(kg_add_unit_test name)
    cmake_parse_arguments(ARG "NETWORK;MANIFEST" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    if(ARG_MANIFEST)
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/host/kgclient_update.rc)
    endif()
    # The product's code as the tests run it: the libraries' checked copies
    # (cmake/CheckedLibraries.cmake), the test's own sources checked too.
    set(libraries "")
    foreach(library IN LISTS ARG_LIBRARIES)
        list(APPEND libraries ${library}_checked)
    endforeach()
    kg_checked(${name})
    target_link_libraries(${name} PRIVATE ${libraries} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE KG_TEST_SOURCE_DIR="${KG_TEST_SOURCE_DIR}"
                                               KG_TEST_WORK_DIR="${KG_TEST_WORK_DIR_NATIVE}"
                                               KG_SHIPPED_DIR="${KG_SHIPPED_DIR_NATIVE}")
    add_test(NAME ${name} COMMAND ${name})
    set(fixtures "")
    if(CMAKE_CROSSCOMPILING)
        list(APPEND fixtures wine)
    endif()
    if(ARG_NETWORK)
        list(APPEND fixtures https signed)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED "${fixtures}")
endfunction()
