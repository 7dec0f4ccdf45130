# Finds libzstd (Debian: libzstd-dev) and provides the imported target Zstd::Zstd: through
# pkg-config where there is one, else by its header and library (the static library that
# scripts/build-windows-zstd.sh cross-builds, given as Zstd_INCLUDE_DIR and Zstd_LIBRARY).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PC_Zstd QUIET libzstd)
endif()

find_path(Zstd_INCLUDE_DIR zstd.h HINTS ${PC_Zstd_INCLUDE_DIRS})
find_library(Zstd_LIBRARY NAMES zstd libzstd HINTS ${PC_Zstd_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Zstd REQUIRED_VARS Zstd_LIBRARY Zstd_INCLUDE_DIR)

if(Zstd_FOUND AND NOT TARGET Zstd::Zstd)
    add_library(Zstd::Zstd UNKNOWN IMPORTED)
    set_target_properties(Zstd::Zstd PROPERTIES
        IMPORTED_LOCATION ${Zstd_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${Zstd_INCLUDE_DIR})
endif()
mark_as_advanced(Zstd_INCLUDE_DIR Zstd_LIBRARY)
