# The driver of bench/extract.sh: the updater's own extraction of one package, timed, on Linux
# and, cross-built, under Wine. Included from the top-level CMakeLists.txt.
add_executable(extractbench ${CMAKE_CURRENT_LIST_DIR}/extractbench.cpp
                            ${CMAKE_CURRENT_LIST_DIR}/peakmemory.h)
target_link_libraries(extractbench PRIVATE updaterworker)
set_target_properties(extractbench PROPERTIES AUTOMOC OFF)
updater_set_warnings(extractbench)
