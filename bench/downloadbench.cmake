# The driver of bench/download.sh: runs the updater's manifest check, download and digest check
# against a server and reports their times and the peak memory. Included from the top-level
# CMakeLists.txt.
add_executable(downloadbench ${CMAKE_CURRENT_LIST_DIR}/downloadbench.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/peakmemory.h)
target_link_libraries(downloadbench PRIVATE updatersource updaterinstall updaterreleasekeys)
updater_set_warnings(downloadbench)
