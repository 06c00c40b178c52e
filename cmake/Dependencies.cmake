# Crypto++, RapidJSON and GoogleTest. For the mingw cross build they come from
# .deps/mingw (scripts/install-deps); a Visual Studio build finds them through
# CMAKE_PREFIX_PATH (for example a vcpkg tree).

find_path(KG_CRYPTOPP_INCLUDE_DIR cryptopp/sha.h REQUIRED)
find_library(KG_CRYPTOPP_LIBRARY NAMES cryptopp cryptlib REQUIRED)
add_library(kg_cryptopp STATIC IMPORTED GLOBAL)
set_target_properties(kg_cryptopp PROPERTIES
    IMPORTED_LOCATION ${KG_CRYPTOPP_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${KG_CRYPTOPP_INCLUDE_DIR})

find_path(KG_RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)
add_library(kg_rapidjson INTERFACE IMPORTED GLOBAL)
# Imported targets' include folders are system folders to their users, so
# the libraries' own warnings stay out of ours.
set_property(TARGET kg_rapidjson PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${KG_RAPIDJSON_INCLUDE_DIR})

if(KG_BUILD_TESTS)
    find_package(GTest CONFIG REQUIRED)
endif()
