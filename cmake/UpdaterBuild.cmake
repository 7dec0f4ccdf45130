# Build helpers shared by the program's build and the fuzzing build (fuzz/).

function(updater_set_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
        if(UPDATER_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                                 -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)
        if(UPDATER_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
    if(UPDATER_SANITIZE AND NOT MSVC)
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()

# updater_add_layer(NAME FOLDER folder USES folder... LINKS target... SOURCES file...)
# One layer of the program: a static library built from one folder. It may include headers of
# its own folder and of the folders named in USES (the layers below it), and links only LINKS.
# A file that includes a header of any other folder, or two units of the folder that include
# each other, fail the build before anything of the layer is compiled.
function(updater_add_layer name)
    cmake_parse_arguments(ARG "" "FOLDER" "USES;LINKS;SOURCES" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${UPDATER_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_LINKS})
    target_compile_definitions(${name} PRIVATE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII
                                               QT_NO_URL_CAST_FROM_STRING)
    updater_set_warnings(${name})

    file(GLOB checked CONFIGURE_DEPENDS ${UPDATER_SOURCE_DIR}/${ARG_FOLDER}/*.h
                                        ${UPDATER_SOURCE_DIR}/${ARG_FOLDER}/*.cpp)
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.layer-checked)
    add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${UPDATER_SOURCE_DIR} -DFOLDER=${ARG_FOLDER}
                "-DALLOWED=${ARG_FOLDER};${ARG_USES}" -DSTAMP=${stamp}
                -P ${UPDATER_SOURCE_DIR}/cmake/CheckLayer.cmake
        DEPENDS ${checked} ${UPDATER_SOURCE_DIR}/cmake/CheckLayer.cmake
        COMMENT "Checking the layer rule of ${ARG_FOLDER}/"
        VERBATIM)
    add_custom_target(${name}_layer DEPENDS ${stamp})
    add_dependencies(${name} ${name}_layer)
endfunction()

# updater_add_release_keys(NAME KEYS key... KEY_FILES file...)
# One key set: an object library that defines releasePublicKeys() (source/releasekeys.h) with
# the given minisign public keys (base64, as minisign prints them) and the keys of the given
# minisign.pub files. A program links exactly one key set; an empty one builds a program that
# takes manifests unsigned. Objects rather than a static library, so that the set is linked in
# whatever the order of the libraries that use it.
function(updater_add_release_keys name)
    cmake_parse_arguments(ARG "" "" "KEYS;KEY_FILES" ${ARGN})
    set(keys ${ARG_KEYS})
    foreach(file IN LISTS ARG_KEY_FILES)
        if(NOT EXISTS ${file})
            message(FATAL_ERROR "Release public key file ${file} does not exist")
        endif()
        file(STRINGS ${file} lines)
        foreach(line IN LISTS lines)
            if(NOT line MATCHES "^untrusted comment:")
                list(APPEND keys "${line}")
            endif()
        endforeach()
    endforeach()

    set(literals "")
    foreach(key IN LISTS keys)
        string(STRIP "${key}" key)
        if(key STREQUAL "")
            continue()
        endif()
        # "Ed", an 8-byte key id and a 32-byte key: 56 base64 characters starting with "RW".
        string(LENGTH "${key}" length)
        if(NOT key MATCHES "^RW[A-Za-z0-9+/]+$" OR NOT length EQUAL 56)
            message(FATAL_ERROR "Not a minisign public key: '${key}' (expected the base64 line "
                                "of minisign.pub, 56 characters starting with RW)")
        endif()
        string(APPEND literals "\"${key}\",\n")
    endforeach()

    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
    file(CONFIGURE OUTPUT ${dir}/releasekeyset.inc CONTENT "${literals}")
    add_library(${name} OBJECT ${UPDATER_SOURCE_DIR}/source/releasekeys.h
                               ${UPDATER_SOURCE_DIR}/source/releasekeys.cpp)
    target_include_directories(${name} PRIVATE ${UPDATER_SOURCE_DIR} ${dir})
    target_link_libraries(${name} PUBLIC Qt6::Core)
    set_target_properties(${name} PROPERTIES AUTOMOC OFF)
    updater_set_warnings(${name})
endfunction()
