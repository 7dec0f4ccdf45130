# Finds libsodium (Debian: libsodium-dev) and provides the imported target Sodium::Sodium:
# through pkg-config where there is one, else by its header and library (a Windows SDK folder
# given in CMAKE_PREFIX_PATH). -DCMAKE_DISABLE_FIND_PACKAGE_Sodium=ON builds as if it were absent.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PC_Sodium QUIET libsodium)
endif()

find_path(Sodium_INCLUDE_DIR sodium.h HINTS ${PC_Sodium_INCLUDE_DIRS})
find_library(Sodium_LIBRARY NAMES sodium libsodium HINTS ${PC_Sodium_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
    add_library(Sodium::Sodium UNKNOWN IMPORTED)
    set_target_properties(Sodium::Sodium PROPERTIES
        IMPORTED_LOCATION ${Sodium_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${Sodium_INCLUDE_DIR})
    # On Windows sodium.h declares its functions as DLL imports unless told the library is static.
    if(WIN32 AND Sodium_LIBRARY MATCHES "\\.a$" AND NOT Sodium_LIBRARY MATCHES "\\.dll\\.a$")
        set_target_properties(Sodium::Sodium PROPERTIES INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
    endif()
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)
