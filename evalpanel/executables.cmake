# The program, twice: evalpanel on the real adapter (libbridgeio) and
# evalpanel-virtual on the simulated kit (libbridgeio-virtual). The sources
# are the same; only the adapter library differs.
add_executable(evalpanel main.cpp)
target_link_libraries(evalpanel PRIVATE evalpanel_mainwindow evalpanel_device bridgeio)
add_executable(evalpanel-virtual main.cpp)
target_link_libraries(evalpanel-virtual PRIVATE evalpanel_mainwindow evalpanel_device bridgeio-virtual)
