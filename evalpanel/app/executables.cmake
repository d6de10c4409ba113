# The program, twice: evalpanel on the real adapter (libbridgeio) and
# evalpanel-virtual on the simulated kit (libbridgeio-virtual). The sources
# are the same but for the kit's control port; the adapter library differs.
add_executable(evalpanel main.cpp batch.cpp kit_port_none.cpp)
target_link_libraries(evalpanel PRIVATE evalpanel_mainwindow evalpanel_device bridgeio)
add_executable(evalpanel-virtual main.cpp batch.cpp kit_port_virtual.cpp)
target_link_libraries(evalpanel-virtual PRIVATE evalpanel_mainwindow evalpanel_device bridgeio-virtual)
foreach(program evalpanel evalpanel-virtual)
  target_compile_definitions(${program} PRIVATE EVALPANEL_VERSION="${PROJECT_VERSION}")
endforeach()
