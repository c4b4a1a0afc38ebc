# The second process of the message port and notification tests.
add_executable(junkward_ipc_peer "${CMAKE_CURRENT_LIST_DIR}/ipc_peer.cpp")
target_link_libraries(junkward_ipc_peer PRIVATE junkward_platform_ipc junkward_platform Qt6::Core Qt6::DBus)
target_include_directories(junkward_ipc_peer PRIVATE "${CMAKE_SOURCE_DIR}")
set_target_properties(junkward_ipc_peer PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${JUNKWARD_TEST_BIN_DIR}")
junkward_rpath(junkward_ipc_peer "${JUNKWARD_TEST_BIN_DIR}")
foreach(t messageport notification scriptingbus addressbook loginitems)
  add_dependencies(platform_${t}_test junkward_ipc_peer)
endforeach()
