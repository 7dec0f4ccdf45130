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
